#include "MCP/Value.h"
