// JSON value of the MCP library.
#pragma once
