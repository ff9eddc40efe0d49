// The routines of the Kivbin codec object (system/codecs/kivbin): entries
// registered by name for the library to bind.
#include "runtime/collector.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/datatypes/routine.h"
#include "runtime/stack.h"

namespace kiv::kivbin {
namespace {

// encode* [data [any-type!] compact? [logic!]]: the compact image when
// compact? is true, else the fixed one.
void encode_entry() {
  Cell* base = stack::arguments();
  RootedCell data(base[0]);
  bool compact = TYPE_OF(&base[1]) == TYPE_LOGIC && base[1].data1 != 0;
  RootedCell out;
  encode(data.get(), compact, out.get());
  *stack::arguments() = *out;
}

// decode [payload [any-type!]]: the one value of the image, or a block of
// its values.
void decode_entry() {
  RootedCell payload(stack::arguments()[0]);
  RootedCell out;
  codec_decode(payload.get(), out.get());
  *stack::arguments() = *out;
}

}  // namespace

void register_routines() {
  routine::register_entry(kEncodeRoutine, encode_entry);
  routine::register_entry(kDecodeRoutine, decode_entry);
}

}  // namespace kiv::kivbin
