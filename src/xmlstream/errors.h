// What every part of the XML core reports and takes from its caller: the
// error value, the interrupt a long read asks, and the callback a reader can
// pull its bytes from. No Python here, and nothing else of the core: every
// layer may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qk::xml {

// Errors are values: a variant tag plus the one-line text shown to users.
struct XmlStreamError {
  // Interrupted: the caller's Interrupt asked to stop; there is no text, and
  // whatever stopped the reading (a raised signal handler) is the caller's.
  enum class Kind : std::uint8_t { Io, Xml, Interrupted };
  Kind kind = Kind::Xml;
  std::string text;
  // Interrupted inside the bytes of a text event, which are then lost: a
  // record being built from them cannot be trusted any more.
  bool mid_event = false;
  // The offset in the file's own bytes of the event the fault is in, as the
  // text gives it; kNowhere when the text names no place (a failed read).
  // Two passes over one file that fail differently report the earlier.
  static constexpr std::uint64_t kNowhere = UINT64_MAX;
  std::uint64_t at = kNowhere;
  // The C library's error number when a file could not be opened, else 0.
  int os_errno = 0;
};

// Lets a long read stop at its caller's word, for example to run signal
// handlers. The reader asks now and then: before every few thousand events,
// and at each refill of its buffer while in text. `urgent` is set when a
// read was cut short by a signal, so the caller should look at once. True
// means stop: the read fails with Kind::Interrupted, and the reader stays
// usable, going on from where it stopped.
struct Interrupt {
  bool (*stop)(void* context, bool urgent) = nullptr;
  void* context = nullptr;
};

// Bytes pulled from the caller instead of a file: `read` fills at most
// `size` bytes at `dst` and returns how many, 0 once the input has ended, or
// -1 when reading failed (the callee keeps its own account of why). The
// source asks for large blocks, so a callee that is costly to call (one that
// takes a lock first) is called seldom.
struct ReadCallback {
  long (*read)(void* context, char* dst, std::size_t size) = nullptr;
  void* context = nullptr;
};

}  // namespace qk::xml
