#include "runtime/eval/natives.h"

namespace kiv {

const NativeInfo kNativeInfo[kNativeCount + 1] = {
    {nullptr, 0, 0},  // 0 unused
#define KIV_NATIVE(name, word, arguments, refinements, entry) {word, arguments, refinements},
#include "runtime/datatypes/natives.def"
#undef KIV_NATIVE
};

}  // namespace kiv
