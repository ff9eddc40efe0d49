// Moved to the datatype layer: include runtime/datatypes/argument_list.h.
#pragma once
#include "runtime/datatypes/argument_list.h"
