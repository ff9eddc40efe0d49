// Moved to the datatype layer: include runtime/datatypes/actions.h. Kept so
// that code written against the old place still builds; the layer check
// refuses it below the evaluator.
#pragma once
#include "runtime/datatypes/actions.h"
