#include "runtime/datatypes/actions.h"

namespace kiv {

const ActionInfo kActionInfo[kActionCount + 1] = {
    {nullptr, 0, 0, false, nullptr},  // 0 unused
#define KIV_ACTION(name, word, sig, entry, arguments, refinements, simple, first) \
  {word, arguments, refinements, simple, first},
#include "runtime/datatypes/actions.def"
#undef KIV_ACTION
};

}  // namespace kiv
