// Byte-level pieces of the markup text shared by the parser, the cursor
// operations and the file layer: the node scanner, escaping, reference
// decoding and the report text.
#ifndef LAUNCHER_MARKUP_MARKUP_TEXT_H_
#define LAUNCHER_MARKUP_MARKUP_TEXT_H_

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace markup_text {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

enum class NodeKind {
  kText,
  kStartTag,
  kEmptyTag,
  kEndTag,
  kCdata,
  kComment,
  kProcessingInstruction,
  kDocumentType,
  kError,  // a tag syntax error; `error` names the report event
};

struct Node {
  NodeKind kind = NodeKind::kText;
  size_t start = 0;       // first byte of the node
  size_t end = 0;         // one past its last byte; where scanning goes on
  size_t name_start = 0;  // tag name of start, empty-element and end tags
  size_t name_end = 0;
  const char* error = nullptr;
};

// Scans the node that begins at `pos` (< text.size()). Text runs up to the
// next '<'. A syntax error yields kError with `end` just past the '<', so the
// caller goes on scanning after it; a node that runs to the end of the text
// yields kError "unterminated_tag_syntax" with `end` = text.size().
// `lead` (256 entries, may be null) marks the lead bytes of double-byte
// characters, which are stepped over whole where a trail byte could look like
// markup.
Node ScanNode(std::string_view text, size_t pos, const bool* lead);

// Length of the tag name token starting at `p` (up to a blank, '/' or '>').
size_t NameLength(std::string_view text, size_t p);

// Element values: < & > become &lt; &amp; &gt;. Attribute values also turn
// ' and " into &apos; and &quot;. Other bytes are copied unchanged.
void AppendEscaped(std::string* out, std::string_view text, bool attribute);

// Appends `text` with character references decoded. A reference is up to 9
// characters between '&' and ';': '#' and decimal digits, "#x" and hex
// digits, or one of the 253 named references. A reference with no
// representation in the ANSI code page, a zero or unknown one, or a '&' with
// no ';' close enough stays literal.
void AppendDecoded(std::string* out, std::string_view text);

// The code point of a named reference, or 0.
unsigned NamedReference(std::string_view name);
// Number of names in the named reference table.
size_t NamedReferenceCount();

// Appends one event element to a report text, keeping the whole report at
// most kReportLimit bytes (an event that does not fit is dropped).
constexpr size_t kReportLimit = 1000;
void AddReportEvent(std::string* report, std::string_view event,
                    std::initializer_list<std::pair<std::string_view, std::string_view>> attribs = {});

}  // namespace markup_text

#endif  // LAUNCHER_MARKUP_MARKUP_TEXT_H_
