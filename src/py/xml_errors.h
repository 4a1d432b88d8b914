// How the XML core's failures and Python's signals meet, for every module
// that reads XML.
#pragma once

#include <string>
#include <string_view>

#include "py/boundary.h"
#include "xmlstream/errors.h"

namespace qk::py {

// The single way an XML failure reaches Python. Texts may quote bytes from
// the document, so they are decoded with replacement rather than trusted.
[[noreturn]] inline void raise_parse_error(std::string_view path, const xml::XmlStreamError& err) {
  // A signal handler raised while the reading was unlocked; its exception
  // is already pending.
  if (err.kind == xml::XmlStreamError::Kind::Interrupted) throw PyErrSet{};
  std::string msg = "failed to parse XML file '";
  msg.append(path);
  msg += "': ";
  msg += err.text;
  raise(PyExc_ValueError, msg);
}

// Lets the reader run Python's signal handlers now and then.
inline xml::Interrupt signal_interrupt(Unlocked& unlocked) {
  return {[](void* context, bool urgent) {
            auto& u = *static_cast<Unlocked*>(context);
            return urgent ? u.signals_raised_now() : u.signals_raised();
          },
          &unlocked};
}

}  // namespace qk::py
