// Kivbin records and values: the decoder that turns the records of an image
// into values and the encoder that writes values as records. The bytes of an
// image (header, symbol table, variable-length integers) are the host
// layer's (runtime/host/kivbin.h); the records need every datatype, so they
// live at this layer.
//
// Sharing: a series (by its buffer), an object, function or word binding (by
// its context) met a second time is written as a reference path to the place
// it was first written, so cycles and shared sub-blocks come back as they
// were: a block that holds itself holds itself again, two references to one
// string are one string (same? is true). A reference path is a list of
// indexes walking from the first value the decode appended: each index picks
// a cell of the current value counted from its buffer's first cell (block
// kinds and map! their cells, object! its values, error! its fields from
// arg1, function! and op! 0 the spec and 1 the body, native! and action! the
// cells of the spec, a word the values of its context).
//
// Two modes. Codec mode reads images from anywhere: words use the codec form
// (a bound word carries the object or function that binds it), set-word
// definitions are refused, and every fault raises a language error. Boot
// mode reads the boot payload into the root block: words use the boot form
// (a bound word names the root literal holding its context), and set-word
// definitions set words while the payload is read.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/cell.h"

namespace kiv::kivbin {

enum class Mode { kCodec, kBoot };

// ---------------------------------------------------------------------------
// Decoding.

// Decodes every root record of the image and appends the values to the
// target block (a block! cell the collector sees). No collection runs while
// it works. Faults: script invalid-data with `argument` (the value the
// caller was given; none when null) for data that is not an image or whose
// compressed part is corrupted; script kb-invalid-record with the 1-based
// byte offset for every structural fault; access no-codec with the datatype
// for a record of a type that has none (routine!, triple!, handle!, port!,
// event!). On a fault the target block keeps what it held before.
void decode(std::span<const uint8_t> image, Cell* target, Mode mode, const Cell* argument = nullptr);

// The Kivbin codec's decode: a binary! payload of more than 10 bytes from its
// head, decoded in codec mode; the one value when the image holds exactly one
// root value, else a block of them, written into out (a cell the collector
// sees). Other payloads raise script invalid-data with the payload.
void codec_decode(const Cell* payload, Cell* out);

// Boot mode: decodes the payload into the root block and fixes the literal
// base there (literal N is the N-th root value the decode appended; set-word
// definitions are not counted). With keep_base the literal base in force
// before the call is kept. A payload that is not Kivbin, or whose compressed
// part is corrupted, writes "Error: Not a Kivbin file!" or "Error: Kivbin
// compressed data corrupted!" to standard error and ends the process with
// status 1; other faults raise their errors. Answers the number of literals.
uint32_t boot_decode(std::span<const uint8_t> payload, bool keep_base);
// The cell of literal N of the last boot decode (raw: the root block's cells
// do not move, but read it before appending to the root block grows it), or
// nullptr when there is no such literal.
Cell* literal_cell(uint32_t n);
// The context node of literal N: an object's or a function's context (a
// stand-alone context! record decodes as an object over it); 0 when the
// literal has none.
uint32_t literal_context(uint32_t n);

// ---------------------------------------------------------------------------
// Encoding.

struct EncodeOptions {
  bool compact = true;     // the compact record form, else the fixed form
  bool compress = false;   // block-compress the image when that makes it smaller
  Mode mode = Mode::kCodec;  // kBoot: words in the boot form (see Encoder)
};

// Writes values as one image. Each add() writes one root record; with the
// boot form, define() writes a set-word definition. The values are read,
// never changed, and nothing is allocated in the runtime until finish().
//
// Faults: a value of routine!, triple!, handle!, port! or event! (or of a
// type with no record) anywhere inside raises access no-codec with the
// value, nesting deeper than the decoder accepts raises internal too-deep;
// the encoder is then left as it was before that add().
//
// Boot form: a word bound to the global context (or to nothing) is written
// unbound and binds globally when decoded; a word bound to the context of
// an object or function that is itself a root value already written (a
// literal) names that literal; any other bound word raises no-codec.
class Encoder {
 public:
  explicit Encoder(EncodeOptions options = {});
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Appends the value as the next root record; answers its literal number.
  uint32_t add(const Cell* value);
  // Boot form only: a set-word definition, the word (any word kind, issue!
  // too) set to the value when the payload is decoded. The value is not a
  // literal and nothing later may refer into it.
  void define(const Cell* word, const Cell* value);
  // The image bytes.
  std::vector<uint8_t> finish();

  struct State;

 private:
  State* state_;
};

// One value as an image with one root record (the codec's encoder).
std::vector<uint8_t> encode_bytes(const Cell* value, bool compact, bool compress = false);
// The same as a new binary! written into out (a cell the collector sees):
// `kivbin/encode-cp` (compact) and `kivbin/encode` (fixed).
void encode(const Cell* value, bool compact, Cell* out);

// ---------------------------------------------------------------------------
// The codec's routines, registered by name at start-up (a library module
// makes them with `routine* [spec] 'kivbin-encode*`):
//   encode* [data [any-type!] compact? [logic!]]  encode with the form chosen
//   decode [payload [any-type!]]                  codec_decode
inline constexpr const char* kEncodeRoutine = "kivbin-encode*";
inline constexpr const char* kDecodeRoutine = "kivbin-decode";
void register_routines();

}  // namespace kiv::kivbin
