// Export model types.
#pragma once
