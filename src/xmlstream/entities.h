// Entities beyond the five predefined ones: general entities declared in a
// DTD (the document's internal subset, or a local DTD file), names given by
// the caller, and the HTML named character references. No Python here.
//
// Only internal text is ever expanded: an external entity is never fetched,
// and a reference to one is an error naming it. Parameter entities are not
// expanded. Expansion is bounded in depth, in the size of one reference's
// text and in the total a document may produce, so that nested declarations
// ("billion laughs") or one huge text referenced over and over end in a
// clear error rather than in exhausted memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace qk::xml {

// The UTF-8 text of the HTML named character reference `name` (without
// '&' and ';'), or false when HTML names none such.
bool html_entity(std::string_view name, std::string_view& text);

class Entities {
 public:
  static constexpr int kMaxDepth = 16;
  // One reference's whole expansion.
  static constexpr std::size_t kMaxOne = std::size_t{1} << 20;
  // All expansions in a document: this much, plus kPerInputByte for each
  // byte read so far, so long files full of short references never reach it.
  static constexpr std::uint64_t kMaxTotal = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kPerInputByte = 4;
  // The most DTD text (a DOCTYPE, a DTD file) read for its declarations.
  static constexpr std::size_t kMaxDtd = std::size_t{16} << 20;
  // Appended to an unrecognized entity's error where entities can be given.
  static constexpr std::string_view kHint =
      " (declare it in the DOCTYPE, or pass entities='html', entities={...} or dtd=...)";

  // Where a name comes from; a name from a later origin in this order wins
  // over the same name from an earlier one, and within one origin the first
  // declaration holds, as in a DTD.
  enum class Origin : std::uint8_t { Dtd, Subset, Given };

  // Whether a reader parses its document's internal subset for entity
  // declarations.
  void set_read_subset(bool on) { read_subset_ = on; }
  bool read_subset() const { return read_subset_; }
  void set_html(bool on) { html_ = on; }

  // A name whose text is taken as it is: no references in it are read.
  void add_text(std::string name, std::string text);
  // The general entity declarations of DTD text in UTF-8. Parameter entity
  // declarations, other declarations, comments and processing instructions
  // are skipped. False, with `error`, on a malformed entity declaration.
  bool add_declarations(std::string_view dtd, Origin origin, std::string& error);

  // The general entity declarations of a local DTD file in UTF-8 (a text
  // declaration at its start is skipped with the rest). False, with
  // `error`, when it cannot be read, is too long or is malformed.
  bool add_dtd_file(const std::string& path, std::string& error);

  // How many bytes of input have been read, for the document's total.
  void note_input(std::uint64_t bytes) { input_ = bytes; }

  enum class Found : std::uint8_t { Yes, No, Error };
  // Appends the text of the reference `name` (not a predefined entity nor a
  // character reference) to `out`. No: nothing by that name. Error: `error`
  // says why, and `out` is as it was.
  Found expand(std::string_view name, std::string& out, std::string& error);

 private:
  struct Entity {
    std::string text;
    Origin origin;
    bool literal = false;   // given text: no references read in it
    bool external = false;  // SYSTEM or PUBLIC: never fetched
  };
  bool expand_entity(std::string_view name, const Entity& e, std::string& out, int depth, std::size_t start,
                     std::string& error);
  bool charge(std::size_t n, std::size_t now, std::size_t start, std::string& error);
  void put(std::string name, Entity e);

  std::map<std::string, Entity, std::less<>> map_;
  bool html_ = false;
  bool read_subset_ = false;
  std::uint64_t input_ = 0, spent_ = 0;
  std::string_view top_;  // the reference being expanded, for errors
};

}  // namespace qk::xml
