#include "app/ExportModel.h"
