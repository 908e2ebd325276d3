// Labelled loggers.
#pragma once
