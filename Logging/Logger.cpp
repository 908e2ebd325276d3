#include "Logging/Logger.h"
