#include "launcher/markup/markup_document.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "launcher/markup/markup_file.h"
#include "launcher/markup/markup_text.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/process.h"

using markup_text::AddReportEvent;
using markup_text::IsBlank;
using markup_text::Node;
using markup_text::NodeKind;

namespace {

// Offsets are 32-bit; a longer text is not parsed.
constexpr size_t kMaxText = INT_MAX - 16;

bool AsciiEqualFold(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

std::string FoldKey(std::string_view name, bool fold) {
  std::string k(name);
  if (fold) {
    for (char& c : k) {
      if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    }
  }
  return k;
}

// A name that can stand as a tag or attribute name token.
bool IsValidName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (IsBlank(c) || c == '<' || c == '>' || c == '/' || c == '=' || c == '"' || c == '\'' ||
        c == '&' || c == '\0') {
      return false;
    }
  }
  return true;
}

const bool* LeadTable() {
  static bool table[256];
  static const bool* result = [] {
    platform::DoubleByteLeads(platform::AnsiCodePage(), table);
    for (bool b : table) {
      if (b) return static_cast<const bool*>(table);
    }
    return static_cast<const bool*>(nullptr);
  }();
  return result;
}

// The offset past a line break that starts at `offset`, else `offset`.
size_t SkipLineBreak(const std::string& text, size_t offset) {
  if (text.compare(offset, 2, "\r\n") == 0) return offset + 2;
  if (offset < text.size() && text[offset] == '\n') return offset + 1;
  return offset;
}

// The text of a new element and the lengths its record is given.
struct NewElemText {
  std::string text;      // the element, then a line break
  size_t start_len = 0;  // the start tag, or the whole empty-element tag
  size_t end_len = 0;    // the end tag; 0 for an empty-element tag
  size_t elem_len = 0;   // the element without the line break
};

// Without a value the element is an empty-element tag.
NewElemText MakeElemText(std::string_view name, std::string_view value) {
  NewElemText e;
  e.text = "<";
  e.text.append(name);
  if (value.empty()) {
    e.text.append("/>");
    e.start_len = e.text.size();
    e.end_len = 0;
  } else {
    e.text.append(">");
    e.start_len = e.text.size();
    markup_text::AppendEscaped(&e.text, value, false);
    e.text.append("</").append(name).append(">");
    e.end_len = name.size() + 3;
  }
  e.elem_len = e.text.size();
  e.text.append("\r\n");
  return e;
}

}  // namespace

MarkupDocument::MarkupDocument() { Parse(); }

MarkupDocument::MarkupDocument(const char* text) { SetDoc(text); }

MarkupDocument::~MarkupDocument() = default;

bool MarkupDocument::SetDoc(const char* text) { return SetDoc(std::string_view(text ? text : "")); }

bool MarkupDocument::SetDoc(std::string_view text) {
  doc_text_.assign(text);
  report_text_.clear();
  Parse();
  return IsWellFormed();
}

// Files ----------------------------------------------------------------------

namespace {

// What the system said about the last failure; a fault without a system
// error code is named by its kind.
std::string FileStatusText(platform::Status error) {
  uint32_t code = platform::LastError();
  if (code != 0) return platform::SystemErrorText(code);
  return error == platform::Status::kBadCall ? "bad file request" : "input/output error";
}

}  // namespace

bool MarkupDocument::Load(const std::string& path) {
  report_text_.clear();
  // Opened the way a C runtime opens "rb": nobody else is locked out.
  platform::FileOpenOptions options;
  options.share_read = true;
  options.share_write = true;
  platform::Status error = platform::Status::kOk;
  platform::ClearLastError();
  std::unique_ptr<platform::File> f = platform::OpenFile(path, options, &error);
  if (!f) {
    AddReportEvent(&report_text_, "file_error", {{"msg", FileStatusText(error)}});
    return false;
  }
  std::string bytes;
  char buf[65536];
  std::string msg;
  for (;;) {
    size_t n = 0;
    error = f->Read(buf, sizeof buf, &n);
    if (error != platform::Status::kOk) {
      msg = FileStatusText(error);
      break;
    }
    if (bytes.size() + n > kMaxText) {
      msg = "file too large";
      break;
    }
    bytes.append(buf, n);
    if (n < sizeof buf) break;
  }
  if (!msg.empty()) {
    AddReportEvent(&report_text_, "file_error", {{"msg", msg}});
    return false;
  }
  std::string text;
  markup_file::DecodeFile(bytes, &text, &doc_flags_, &report_text_);
  doc_text_.swap(text);
  Parse();
  return IsWellFormed();
}

bool MarkupDocument::Save(const std::string& path) {
  report_text_.clear();
  std::string bytes;
  markup_file::EncodeFile(doc_text_, doc_flags_, &bytes, &report_text_);
  // Through a temporary beside the file: a full disk or a crash midway leaves
  // the old file whole.
  platform::ClearLastError();
  platform::Status error = platform::ReplaceFileContents(path, bytes);
  if (error != platform::Status::kOk) {
    AddReportEvent(&report_text_, "file_error", {{"msg", FileStatusText(error)}});
    return false;
  }
  return true;
}

bool MarkupDocument::IsWellFormed() const {
  const ElemRecord& doc = elements_[0];
  return !(doc.flags & kElemIllFormed) && doc.first_child != 0 &&
         elements_[doc.first_child].next_sibling == 0;
}

// One parse of doc_text_ into elements_. The parser keeps the elements that
// are open in `open_`. An end tag that does not close the innermost one is
// resolved against a count of open elements per name, kept only from the
// first such tag on, so well-formed text costs no lookups and every other
// text costs one per tag.
class MarkupDocument::Parser {
 public:
  explicit Parser(MarkupDocument& doc) : doc_(doc), fold_(doc.doc_flags_ & kDocIgnoreCase), lead_(LeadTable()) {}

  // Makes room for the records and sets record 0 (the document) over the
  // whole text. False, with the document empty and ill-formed, when the text
  // is too long to be parsed.
  bool PrepareRecords();
  // Reads the text node by node into records; what is still open at the end
  // of the text is left unended there.
  void ScanNodes();
  // Reports a document without exactly one root element.
  void ReportRoot();

 private:
  std::string_view Text() const { return doc_.doc_text_; }
  std::string Key(std::string_view name) const { return FoldKey(name, fold_); }
  // Whether an end tag named `name` ends element i.
  bool Ends(int i, std::string_view name) const {
    std::string_view n = doc_.TagName(i);
    return fold_ ? AsciiEqualFold(n, name) : n == name;
  }

  void OnStartTag(const Node& node, int parent);
  void OnEndTag(const Node& node, int parent);
  void OnError(const Node& node, int parent);
  // A new record for a tag of `tag_len` bytes at `start`, the last child of
  // `parent`.
  int NewRecord(size_t start, size_t tag_len, int parent);
  void MarkError(int around);
  // Counts the open elements per name from now on.
  void StartCounting();
  // Open elements named `name` (only while counting).
  int OpenCount(std::string_view name) const;
  // Closes open_[k..] at `offset`: open_[k] is closed by an end tag of
  // `end_len` bytes (k < 0: record 0, at the end of the text); everything
  // opened inside it stays a lone start tag whose children follow it.
  void CloseFrom(long k, size_t offset, size_t end_len);
  // Leaves x, the last child of m, a start tag without end at `offset`; its
  // children move behind it, under m.
  void LeaveUnended(int x, int m, size_t offset);
  // Ends element m with the end tag of `end_len` bytes at `offset`.
  void EndElement(int m, size_t offset, size_t end_len);

  MarkupDocument& doc_;
  std::vector<ElemRecord>& elements_ = doc_.elements_;
  const bool fold_;
  const bool* const lead_;
  std::vector<int> open_;
  std::unordered_map<std::string, int> open_count_;
  bool counting_ = false;
};

bool MarkupDocument::Parser::PrepareRecords() {
  if (Text().size() > kMaxText) {
    elements_.assign(8, ElemRecord());
    elements_[0].flags = kElemIllFormed;
    AddReportEvent(&doc_.report_text_, "no_root_element");
    return false;
  }
  elements_.assign(Text().size() / 64 + 8, ElemRecord());
  elements_[0].length = static_cast<int32_t>(Text().size());
  return true;
}

void MarkupDocument::Parser::ScanNodes() {
  const std::string_view text = Text();
  size_t pos = 0;
  while (pos < text.size()) {
    Node node = markup_text::ScanNode(text, pos, lead_);
    int parent = open_.empty() ? 0 : open_.back();
    switch (node.kind) {
      case NodeKind::kStartTag:
      case NodeKind::kEmptyTag:
        OnStartTag(node, parent);
        break;
      case NodeKind::kEndTag:
        OnEndTag(node, parent);
        break;
      case NodeKind::kError:
        OnError(node, parent);
        break;
      default:
        break;
    }
    pos = node.end;
  }
  if (!open_.empty()) CloseFrom(-1, text.size(), 0);
}

void MarkupDocument::Parser::ReportRoot() {
  const ElemRecord& doc = elements_[0];
  if (doc.first_child == 0) {
    AddReportEvent(&doc_.report_text_, "no_root_element");
  } else if (elements_[doc.first_child].next_sibling != 0) {
    AddReportEvent(&doc_.report_text_, "root_has_sibling");
  }
}

void MarkupDocument::Parser::OnStartTag(const Node& node, int parent) {
  int i = NewRecord(node.start, node.end - node.start, parent);
  if (node.kind == NodeKind::kStartTag) {
    open_.push_back(i);
    if (counting_) ++open_count_[Key(doc_.TagName(i))];
  }
}

void MarkupDocument::Parser::OnEndTag(const Node& node, int parent) {
  std::string_view name = Text().substr(node.name_start, node.name_end - node.name_start);
  const size_t end_len = node.end - node.start;
  if (!open_.empty() && Ends(open_.back(), name)) {
    CloseFrom(static_cast<long>(open_.size()) - 1, node.start, end_len);
    return;
  }
  StartCounting();
  if (OpenCount(name) <= 0) {
    char off[16];
    std::snprintf(off, sizeof off, "%d", static_cast<int>(node.start));
    AddReportEvent(&doc_.report_text_, "lone_end_tag", {{"tagname", name}, {"offset", off}});
    MarkError(parent);
    return;
  }
  long k = static_cast<long>(open_.size()) - 1;
  while (!Ends(open_[k], name)) --k;
  CloseFrom(k, node.start, end_len);
}

void MarkupDocument::Parser::OnError(const Node& node, int parent) {
  char off[16];
  std::snprintf(off, sizeof off, "%d", static_cast<int>(node.start));
  AddReportEvent(&doc_.report_text_, node.error, {{"offset", off}});
  MarkError(parent);
}

int MarkupDocument::Parser::NewRecord(size_t start, size_t tag_len, int parent) {
  if (doc_.free_pos_ == static_cast<int>(elements_.size())) elements_.resize(elements_.size() * 2);
  int i = doc_.free_pos_++;
  ElemRecord& r = elements_[i];
  r = ElemRecord();
  r.start = static_cast<int32_t>(start);
  r.length = static_cast<int32_t>(tag_len);
  r.SetTagLengths(static_cast<uint32_t>(tag_len), 0);
  r.parent = parent;
  doc_.LinkLast(parent, i);
  return i;
}

void MarkupDocument::Parser::MarkError(int around) {
  elements_[around].flags |= kElemParseError;
  elements_[0].flags |= kElemIllFormed;
}

void MarkupDocument::Parser::StartCounting() {
  if (counting_) return;
  counting_ = true;
  for (int i : open_) ++open_count_[Key(doc_.TagName(i))];
}

int MarkupDocument::Parser::OpenCount(std::string_view name) const {
  auto it = open_count_.find(Key(name));
  return it == open_count_.end() ? 0 : it->second;
}

void MarkupDocument::Parser::CloseFrom(long k, size_t offset, size_t end_len) {
  int m = k < 0 ? 0 : open_[k];
  for (size_t j = static_cast<size_t>(k + 1); j < open_.size(); ++j) LeaveUnended(open_[j], m, offset);
  if (m != 0) EndElement(m, offset, end_len);
  open_.resize(k < 0 ? 0 : k);
}

void MarkupDocument::Parser::LeaveUnended(int x, int m, size_t offset) {
  ElemRecord& rx = elements_[x];
  rx.flags |= kElemUnended;
  rx.length = doc_.StartTagLength(x);
  if (counting_) --open_count_[Key(doc_.TagName(x))];
  char off[16], off2[16];
  std::snprintf(off, sizeof off, "%d", rx.start);
  std::snprintf(off2, sizeof off2, "%d", static_cast<int>(offset));
  AddReportEvent(&doc_.report_text_, "unended_start_tag",
                 {{"tagname", doc_.TagName(x)}, {"offset", off}, {"offset2", off2}});
  elements_[0].flags |= kElemIllFormed;
  int c = rx.first_child;
  if (c) {
    int last = elements_[c].prev_sibling;
    for (int y = c; y; y = elements_[y].next_sibling) elements_[y].parent = m;
    elements_[c].flags &= ~kElemFirstChild;
    rx.next_sibling = c;
    elements_[c].prev_sibling = x;
    elements_[elements_[m].first_child].prev_sibling = last;
    rx.first_child = 0;
  }
}

void MarkupDocument::Parser::EndElement(int m, size_t offset, size_t end_len) {
  ElemRecord& rm = elements_[m];
  rm.length = static_cast<int32_t>(offset + end_len - rm.start);
  rm.SetTagLengths(rm.StoredStartTag(), static_cast<uint32_t>(end_len));
  if (counting_) --open_count_[Key(doc_.TagName(m))];
}

void MarkupDocument::Parse() {
  ResetPos();
  saved_positions_.clear();
  free_pos_ = 1;
  deleted_pos_ = 0;
  Parser parser(*this);
  if (!parser.PrepareRecords()) return;
  parser.ScanNodes();
  parser.ReportRoot();
  ResetPos();
}

void MarkupDocument::LinkLast(int parent, int i) {
  ElemRecord& p = elements_[parent];
  ElemRecord& r = elements_[i];
  r.parent = parent;
  r.next_sibling = 0;
  if (p.first_child == 0) {
    p.first_child = i;
    r.prev_sibling = i;
    r.flags |= kElemFirstChild;
  } else {
    int last = elements_[p.first_child].prev_sibling;
    elements_[last].next_sibling = i;
    r.prev_sibling = last;
    elements_[p.first_child].prev_sibling = i;
  }
}

void MarkupDocument::LinkAfter(int x, int i) {
  int parent = elements_[x].parent;
  ElemRecord& r = elements_[i];
  r.parent = parent;
  r.prev_sibling = x;
  r.next_sibling = elements_[x].next_sibling;
  if (r.next_sibling) {
    elements_[r.next_sibling].prev_sibling = i;
  } else {
    elements_[elements_[parent].first_child].prev_sibling = i;
  }
  elements_[x].next_sibling = i;
}

void MarkupDocument::LinkBefore(int x, int i) {
  int parent = elements_[x].parent;
  ElemRecord& r = elements_[i];
  ElemRecord& rx = elements_[x];
  r.parent = parent;
  r.next_sibling = x;
  r.prev_sibling = rx.prev_sibling;
  if (elements_[parent].first_child == x) {
    elements_[parent].first_child = i;
    rx.flags &= ~kElemFirstChild;
    r.flags |= kElemFirstChild;
  } else {
    elements_[rx.prev_sibling].next_sibling = i;
  }
  rx.prev_sibling = i;
}

int MarkupDocument::StartTagLength(int i) const {
  const ElemRecord& r = elements_[i];
  uint32_t n = r.StoredStartTag();
  if (n != ElemRecord::kStartTagMax) return static_cast<int>(n);
  Node node = markup_text::ScanNode(doc_text_, r.start, nullptr);
  return static_cast<int>(node.end - node.start);
}

int MarkupDocument::EndTagLength(int i) const {
  const ElemRecord& r = elements_[i];
  uint32_t n = r.StoredEndTag();
  if (n != ElemRecord::kEndTagMax) return static_cast<int>(n);
  size_t lt = doc_text_.rfind('<', r.start + r.length - 1);
  return static_cast<int>(r.start + r.length - lt);
}

std::string_view MarkupDocument::TagName(int i) const {
  std::string_view text = doc_text_;
  size_t p = elements_[i].start + 1;
  return text.substr(p, markup_text::NameLength(text, p));
}

bool MarkupDocument::NameMatches(int i, std::string_view name) const {
  std::string_view tag = TagName(i);
  return (doc_flags_ & kDocIgnoreCase) ? AsciiEqualFold(tag, name) : tag == name;
}

std::string MarkupDocument::GetTagName() const {
  return main_pos_ ? std::string(TagName(main_pos_)) : std::string();
}

// Cursor ---------------------------------------------------------------------

void MarkupDocument::ResetPos() {
  parent_pos_ = main_pos_ = child_pos_ = 0;
  node_type_ = kNodeNone;
  node_offset_ = node_length_ = 0;
}

void MarkupDocument::ResetMainPos() {
  main_pos_ = child_pos_ = 0;
  node_type_ = kNodeNone;
  node_offset_ = node_length_ = 0;
}

bool MarkupDocument::FindElem(const char* name) {
  return FindElem(std::string_view(name ? name : ""));
}

bool MarkupDocument::FindElem(std::string_view name) {
  int i = main_pos_ ? elements_[main_pos_].next_sibling : elements_[parent_pos_].first_child;
  for (; i; i = elements_[i].next_sibling) {
    if (name.empty() || NameMatches(i, name)) {
      main_pos_ = i;
      child_pos_ = 0;
      node_type_ = kNodeElement;
      node_offset_ = node_length_ = 0;
      return true;
    }
  }
  return false;
}

bool MarkupDocument::IntoElem() {
  if (!main_pos_ || node_type_ != kNodeElement) return false;
  parent_pos_ = main_pos_;
  main_pos_ = child_pos_;
  child_pos_ = 0;
  node_type_ = main_pos_ ? kNodeElement : kNodeNone;
  return true;
}

bool MarkupDocument::OutOfElem() {
  if (!parent_pos_) return false;
  child_pos_ = main_pos_;
  main_pos_ = parent_pos_;
  parent_pos_ = elements_[parent_pos_].parent;
  node_type_ = kNodeElement;
  node_offset_ = node_length_ = 0;
  return true;
}

void MarkupDocument::SavePos(const std::string& name) {
  saved_positions_[name] = SavedPos{parent_pos_, main_pos_, child_pos_};
}

bool MarkupDocument::RestorePos(const std::string& name) {
  auto it = saved_positions_.find(name);
  if (it == saved_positions_.end()) return false;
  parent_pos_ = it->second.parent;
  main_pos_ = it->second.main;
  child_pos_ = it->second.child;
  node_type_ = main_pos_ ? kNodeElement : kNodeNone;
  return true;
}

// Reading --------------------------------------------------------------------

std::string MarkupDocument::GetData() const {
  std::string out;
  if (!main_pos_ || node_type_ != kNodeElement) return out;
  const ElemRecord& r = elements_[main_pos_];
  int end_len = EndTagLength(main_pos_);
  if (r.first_child || end_len == 0) return out;
  size_t from = r.start + StartTagLength(main_pos_);
  size_t to = r.start + r.length - end_len;
  std::string_view content = std::string_view(doc_text_).substr(0, to);
  const bool* lead = LeadTable();
  for (size_t pos = from; pos < to;) {
    Node node = markup_text::ScanNode(content, pos, lead);
    switch (node.kind) {
      case NodeKind::kText:
        markup_text::AppendDecoded(&out, content.substr(node.start, node.end - node.start));
        break;
      case NodeKind::kCdata:
        out.append(content, node.start + 9, node.end - node.start - 12);
        break;
      case NodeKind::kError:
        if (node.end == node.start + 1) out.push_back('<');  // a '<' that starts no tag
        break;
      default:
        break;
    }
    pos = node.end;
  }
  return out;
}

// Finds attribute `name` in the start tag of element i and fills *out with
// its ranges. Whether found or not, out->region_end is where a new attribute
// goes: after the last non-blank byte before the tag's closing "/>" or ">".
bool MarkupDocument::FindAttrib(int i, std::string_view name, AttribRange* out) const {
  std::string_view text = doc_text_;
  const ElemRecord& r = elements_[i];
  size_t tag_end = r.start + StartTagLength(i);  // past '>'
  size_t e = tag_end - 1;
  if (e > static_cast<size_t>(r.start) + 1 && text[e - 1] == '/') --e;
  size_t p = r.start + 1 + markup_text::NameLength(text, r.start + 1);
  size_t last_nonblank = p;
  bool found = false;
  while (p < e) {
    if (IsBlank(text[p])) {
      ++p;
      continue;
    }
    AttribRange a;
    a.attr_start = p;
    if (text[p] == '"' || text[p] == '\'') {  // a stray quoted run
      size_t q = text.find(text[p], p + 1);
      p = (q == std::string_view::npos || q >= e) ? e : q + 1;
      last_nonblank = p;
      continue;
    }
    while (p < e && !IsBlank(text[p]) && text[p] != '=') ++p;
    std::string_view attr_name = text.substr(a.attr_start, p - a.attr_start);
    a.value_start = a.value_end = a.attr_end = p;
    last_nonblank = p;
    size_t q = p;
    while (q < e && IsBlank(text[q])) ++q;
    if (q < e && text[q] == '=') {
      ++q;
      while (q < e && IsBlank(text[q])) ++q;
      if (q < e && (text[q] == '"' || text[q] == '\'')) {
        a.quoted = true;
        a.value_start = q + 1;
        size_t close = text.find(text[q], q + 1);
        if (close == std::string_view::npos || close >= e) close = e;
        a.value_end = close;
        p = close < e ? close + 1 : e;
      } else {
        a.value_start = q;
        while (q < e && !IsBlank(text[q])) ++q;
        a.value_end = q;
        p = q;
      }
      a.attr_end = p;
      last_nonblank = p;
    }
    if (!found && attr_name == name) {
      *out = a;
      found = true;
    }
  }
  out->region_end = last_nonblank;
  return found;
}

std::string MarkupDocument::GetAttrib(std::string_view name) const {
  std::string out;
  if (!main_pos_ || node_type_ != kNodeElement || name.empty()) return out;
  AttribRange a;
  if (FindAttrib(main_pos_, name, &a)) {
    markup_text::AppendDecoded(&out, std::string_view(doc_text_).substr(a.value_start, a.value_end - a.value_start));
  }
  return out;
}

// Editing --------------------------------------------------------------------

void MarkupDocument::Splice(int owner, size_t offset, size_t len, std::string_view with, bool in_start_tag) {
  // The owner's tag lengths are measured before the edit: a length that does
  // not fit its field is measured from the text, which the edit changes.
  int start_len = 0, end_len = 0;
  if (in_start_tag) {
    start_len = StartTagLength(owner);
    end_len = EndTagLength(owner);
  }
  doc_text_.replace(offset, len, with);
  int delta = static_cast<int>(with.size()) - static_cast<int>(len);
  if (delta == 0) return;
  for (int i = 1; i < free_pos_; ++i) {
    if (static_cast<size_t>(elements_[i].start) >= offset) elements_[i].start += delta;
  }
  if (in_start_tag) {
    ElemRecord& r = elements_[owner];
    // The stored length saturates past its field; it is measured again then.
    r.length += delta;
    r.SetTagLengths(static_cast<uint32_t>(start_len + delta), static_cast<uint32_t>(end_len));
    owner = r.parent;
  }
  for (int i = owner; i; i = elements_[i].parent) elements_[i].length += delta;
  elements_[0].length = static_cast<int32_t>(doc_text_.size());
}

bool MarkupDocument::SetAttrib(std::string_view name, int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", value);
  return SetAttrib(name, std::string_view(buf));
}

bool MarkupDocument::SetAttrib(std::string_view name, std::string_view value) {
  if (!main_pos_ || node_type_ != kNodeElement || !IsValidName(name)) return false;
  std::string escaped;
  markup_text::AppendEscaped(&escaped, value, true);
  if (doc_text_.size() + escaped.size() + name.size() + 4 > kMaxText) return false;
  AttribRange a;
  if (FindAttrib(main_pos_, name, &a) && a.quoted) {
    Splice(main_pos_, a.value_start, a.value_end - a.value_start, escaped, true);
    return true;
  }
  std::string attr;
  attr.append(name).append("=\"").append(escaped).append("\"");
  if (a.attr_end > a.attr_start) {  // unquoted, or a name without a value
    Splice(main_pos_, a.attr_start, a.attr_end - a.attr_start, attr, true);
  } else {
    Splice(main_pos_, a.region_end, 0, " " + attr, true);
  }
  return true;
}

bool MarkupDocument::AddElem(std::string_view name, std::string_view value) {
  return AddNode(name, value, Where::kAfter);
}

bool MarkupDocument::AddElem(std::string_view name, int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", value);
  return AddNode(name, buf, Where::kAfter);
}

bool MarkupDocument::InsertElem(std::string_view name, std::string_view value) {
  return AddNode(name, value, Where::kBefore);
}

bool MarkupDocument::InsertElem(std::string_view name, int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", value);
  return AddNode(name, buf, Where::kBefore);
}

// The parent has no end tag yet: an empty-element tag becomes a start tag,
// and a lone start tag gets its end tag, around the new child `node`. Returns
// the offset of `node`.
size_t MarkupDocument::EndParentAround(int parent, const std::string& node) {
  const ElemRecord& rp = elements_[parent];
  std::string pname(TagName(parent));
  size_t tag_end = rp.start + StartTagLength(parent);
  bool empty_tag = !(rp.flags & kElemUnended) && doc_text_[tag_end - 2] == '/';
  size_t at = empty_tag ? tag_end - 2 : tag_end;
  std::string with = empty_tag ? ">\r\n" : "\r\n";
  with += node;
  with += "</" + pname + ">";
  Splice(parent, at, empty_tag ? 2 : 0, with, false);
  ElemRecord& p = elements_[parent];
  p.flags &= ~kElemUnended;
  p.SetTagLengths(static_cast<uint32_t>(at - p.start + (empty_tag ? 1 : 0)),
                  static_cast<uint32_t>(pname.size() + 3));
  return at + (empty_tag ? 3 : 2);
}

// Where a new last (kAfter) or first (kBefore) child of `parent` goes.
size_t MarkupDocument::ChildOffset(int parent, Where where) const {
  const ElemRecord& rp = elements_[parent];
  if (where == Where::kAfter) {
    if (parent) return rp.start + rp.length - EndTagLength(parent);
    if (rp.first_child) {
      const ElemRecord& last = elements_[elements_[rp.first_child].prev_sibling];
      return SkipLineBreak(doc_text_, last.start + last.length);
    }
    return doc_text_.size();
  }
  if (parent) {
    size_t offset = SkipLineBreak(doc_text_, rp.start + StartTagLength(parent));
    if (rp.first_child && offset > static_cast<size_t>(elements_[rp.first_child].start)) {
      offset = elements_[rp.first_child].start;
    }
    return offset;
  }
  return rp.first_child ? elements_[rp.first_child].start : doc_text_.size();
}

// Links the new record i beside x, or without x as the last or first child
// of `parent`.
void MarkupDocument::LinkNew(int x, int parent, int i, Where where) {
  if (x) {
    if (where == Where::kAfter) {
      LinkAfter(x, i);
    } else {
      LinkBefore(x, i);
    }
  } else if (where == Where::kAfter || elements_[parent].first_child == 0) {
    LinkLast(parent, i);
  } else {
    LinkBefore(elements_[parent].first_child, i);
  }
}

bool MarkupDocument::AddNode(std::string_view name, std::string_view value, Where where) {
  if ((doc_flags_ & (kDocReadPiecewise | kDocWritePiecewise)) || !IsValidName(name)) return false;
  const NewElemText node = MakeElemText(name, value);
  if (doc_text_.size() + node.text.size() + name.size() + 8 > kMaxText) return false;

  int parent = parent_pos_;
  int x = (main_pos_ && node_type_ == kNodeElement) ? main_pos_ : 0;
  size_t offset;
  if (x) {
    const ElemRecord& rx = elements_[x];
    offset = where == Where::kAfter ? SkipLineBreak(doc_text_, rx.start + rx.length) : rx.start;
    Splice(parent, offset, 0, node.text, false);
  } else if (parent && EndTagLength(parent) == 0) {
    offset = EndParentAround(parent, node.text);
  } else {
    offset = ChildOffset(parent, where);
    Splice(parent, offset, 0, node.text, false);
  }

  if (free_pos_ == static_cast<int>(elements_.size())) elements_.resize(elements_.size() * 2);
  int i = free_pos_++;
  ElemRecord& r = elements_[i];
  r = ElemRecord();
  r.start = static_cast<int32_t>(offset);
  r.length = static_cast<int32_t>(node.elem_len);
  r.SetTagLengths(static_cast<uint32_t>(node.start_len), static_cast<uint32_t>(node.end_len));
  LinkNew(x, parent, i, where);
  main_pos_ = i;
  child_pos_ = 0;
  node_type_ = kNodeElement;
  node_offset_ = node_length_ = 0;
  return true;
}

// Escaping -------------------------------------------------------------------

std::string MarkupDocument::EscapeText(std::string_view text, bool attribute) {
  std::string out;
  markup_text::AppendEscaped(&out, text, attribute);
  return out;
}

std::string MarkupDocument::UnescapeText(std::string_view text) {
  std::string out;
  markup_text::AppendDecoded(&out, text);
  return out;
}

// Consistency ----------------------------------------------------------------

bool MarkupDocument::CheckTable() const {
  const std::string& t = doc_text_;
  if (elements_.empty() || free_pos_ < 1 || free_pos_ > static_cast<int>(elements_.size())) return false;
  if (elements_[0].length != static_cast<int32_t>(t.size())) return false;
  int seen = 0;
  std::vector<int> stack{0};
  while (!stack.empty()) {
    int p = stack.back();
    stack.pop_back();
    const ElemRecord& rp = elements_[p];
    size_t lo = p ? rp.start + StartTagLength(p) : 0;
    size_t hi = p ? rp.start + rp.length - EndTagLength(p) : t.size();
    int first = rp.first_child;
    int prev = 0;
    size_t at = lo;
    for (int c = first; c; c = elements_[c].next_sibling) {
      if (c <= 0 || c >= free_pos_ || ++seen > free_pos_) return false;
      const ElemRecord& rc = elements_[c];
      if (rc.parent != p) return false;
      if (((rc.flags & kElemFirstChild) != 0) != (c == first)) return false;
      if (c != first && rc.prev_sibling != prev) return false;
      if (rc.start < 0 || static_cast<size_t>(rc.start) < at || rc.length <= 0) return false;
      size_t end = static_cast<size_t>(rc.start) + rc.length;
      if (end > hi || t[rc.start] != '<') return false;
      int sl = StartTagLength(c), el = EndTagLength(c);
      if (sl <= 0 || sl + el > rc.length || t[rc.start + sl - 1] != '>') return false;
      if (el > 0 && (t.compare(end - el, 2, "</") != 0 || t[end - 1] != '>')) return false;
      if (el == 0 && sl != rc.length) return false;
      at = end;
      prev = c;
      stack.push_back(c);
    }
    if (first && elements_[first].prev_sibling != prev) return false;
  }
  return seen == free_pos_ - 1;
}
