// MarkupDocument: an XML document held as one text, with a cursor.
//
// The whole document lives in memory as a byte string in the system's ANSI
// code page. Parsing indexes its elements in a table of records; a cursor
// (parent, current element, remembered child) walks that table. Edits are
// made directly in the text and the records behind an edit are shifted, so
// Save writes back every byte the caller did not touch.
//
// A document is not thread-safe; each user owns its own.
//
//   MarkupDocument doc;
//   doc.SetDoc(text);
//   if (doc.FindElem("versionnum")) version = doc.GetData();
#ifndef LAUNCHER_MARKUP_MARKUP_DOCUMENT_H_
#define LAUNCHER_MARKUP_MARKUP_DOCUMENT_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class MarkupDocument {
 public:
  // docFlags bits.
  enum DocFlag : int {
    kDocUtf16Le = 0x1,         // came from a file with the FF FE mark
    kDocUtf8Bom = 0x4,         // came from a file with the EF BB BF mark
    kDocIgnoreCase = 0x8,      // element names compare without regard to case
    kDocReadPiecewise = 0x10,  // reading a file piecewise (not supported here)
    kDocWritePiecewise = 0x20, // writing a file piecewise (not supported here)
    kDocUtf16Be = 0x80,        // came from a file with the FE FF mark
  };

  // Element record flag bits.
  enum ElemFlag : int {
    kElemFirstChild = 0x80000,     // first child of its parent
    kElemUnended = 0x100000,       // start tag without end tag
    kElemParseError = 0x200000,    // element around a parse error
    kElemIllFormed = 0x800000,     // on record 0: the document is not well-formed
  };

  // Node types of the current node.
  enum NodeType : int {
    kNodeNone = 0,
    kNodeElement = 1,
    kNodeText = 2,
    kNodeCdata = 8,
  };

  // One indexed element. `start` is the offset of its '<' in the text and
  // `length` runs up to and including its end tag.
  struct ElemRecord {
    static constexpr uint32_t kStartTagMax = (1u << 22) - 1;  // saturated: rescan
    static constexpr uint32_t kEndTagMax = (1u << 10) - 1;    // saturated: rescan

    int32_t start = 0;
    int32_t length = 0;
    uint32_t tag_lengths = 0;  // start-tag length (low 22 bits), end-tag length (high 10)
    int32_t flags = 0;
    int32_t parent = 0;
    int32_t first_child = 0;
    int32_t next_sibling = 0;
    int32_t prev_sibling = 0;  // on a first child: the parent's last child

    uint32_t StoredStartTag() const { return tag_lengths & kStartTagMax; }
    uint32_t StoredEndTag() const { return tag_lengths >> 22; }
    void SetTagLengths(uint32_t start_tag, uint32_t end_tag) {
      if (start_tag > kStartTagMax) start_tag = kStartTagMax;
      if (end_tag > kEndTagMax) end_tag = kEndTagMax;
      tag_lengths = start_tag | (end_tag << 22);
    }
  };

  MarkupDocument();
  // Parses `text` as SetDoc does.
  explicit MarkupDocument(const char* text);
  MarkupDocument(const MarkupDocument&) = default;
  MarkupDocument& operator=(const MarkupDocument&) = default;
  ~MarkupDocument();

  // Replaces the text (null: empty), clears the report and parses. Returns
  // whether the document is well-formed; the table describes whatever could
  // be recognised either way.
  bool SetDoc(const char* text);
  bool SetDoc(std::string_view text);
  // Reads a file, converting it from its encoding to the ANSI code page, and
  // parses it. False when the file cannot be read or is not well-formed.
  bool Load(const std::string& path);
  // Writes the text to a file in the document's encoding. The file is
  // replaced whole through `path` + ".tmp": on failure it is left as it was.
  bool Save(const std::string& path);

  const std::string& GetDoc() const { return doc_text_; }
  const std::string& GetReport() const { return report_text_; }
  bool IsWellFormed() const;
  int GetDocFlags() const { return doc_flags_; }
  void SetDocFlags(int flags) { doc_flags_ = flags; }

  // Cursor.
  void ResetPos();
  void ResetMainPos();
  // Finds the next child of the parent after the current element (or the
  // first child when there is none) named `name` (null or empty: any). On
  // failure the cursor is unchanged.
  bool FindElem(const char* name = nullptr);
  bool FindElem(std::string_view name);
  // Steps into the current element: it becomes the parent.
  bool IntoElem();
  // Steps out: the parent becomes the current element.
  bool OutOfElem();
  // Named saved positions (cleared by every parse).
  void SavePos(const std::string& name);
  bool RestorePos(const std::string& name);

  // Text of the current element with references decoded and CDATA sections
  // taken literally; empty when it has child elements or no content.
  std::string GetData() const;
  // Decoded value of an attribute of the current element; empty when absent.
  std::string GetAttrib(std::string_view name) const;
  // Replaces or appends an attribute of the current element.
  bool SetAttrib(std::string_view name, std::string_view value);
  bool SetAttrib(std::string_view name, int value);
  // Adds an element after the current one (or as the parent's last child)
  // and makes it current. Without a value (or with an empty one) the element
  // is an empty-element tag.
  bool AddElem(std::string_view name, std::string_view value = {});
  bool AddElem(std::string_view name, int value);
  // Like AddElem, but before the current element (or as the first child).
  bool InsertElem(std::string_view name, std::string_view value = {});
  bool InsertElem(std::string_view name, int value);

  // The current element's tag name; empty when there is none.
  std::string GetTagName() const;
  int GetNodeType() const { return node_type_; }

  // Table access for tests and the fuzzer.
  int ElementCount() const { return free_pos_ - 1; }
  const ElemRecord& Element(int i) const { return elements_[i]; }
  int MainPos() const { return main_pos_; }
  int ParentPos() const { return parent_pos_; }
  // Checks the links and offsets of the whole table against the text; used
  // by tests and the fuzzer to catch a shifted record.
  bool CheckTable() const;

  // Escaping of element values (<, & and >) and of attribute values (also '
  // and the double quote).
  static std::string EscapeText(std::string_view text, bool attribute);
  // Decodes character references (see AppendDecoded in markup_text.h).
  static std::string UnescapeText(std::string_view text);

 private:
  struct SavedPos {
    int parent, main, child;
  };
  enum class Where { kAfter, kBefore };

  struct AttribRange {
    size_t attr_start = 0, attr_end = 0;    // the whole name[=value] text
    size_t value_start = 0, value_end = 0;  // inside the quotes
    bool quoted = false;
    size_t region_end = 0;  // where a new attribute is appended
  };

  class Parser;  // one parse of doc_text_ into elements_

  void Parse();
  void LinkLast(int parent, int i);
  void LinkAfter(int x, int i);
  void LinkBefore(int x, int i);
  bool AddNode(std::string_view name, std::string_view value, Where where);
  size_t EndParentAround(int parent, const std::string& node);
  size_t ChildOffset(int parent, Where where) const;
  void LinkNew(int x, int parent, int i, Where where);
  bool FindAttrib(int i, std::string_view name, AttribRange* out) const;
  // Replaces `len` bytes at `offset` with `with` and shifts every record that
  // starts at or behind `offset`. `owner` and its ancestors grow by the
  // difference; with `in_start_tag` the edit lies in owner's start tag.
  void Splice(int owner, size_t offset, size_t len, std::string_view with, bool in_start_tag);
  int StartTagLength(int i) const;
  int EndTagLength(int i) const;
  std::string_view TagName(int i) const;
  bool NameMatches(int i, std::string_view name) const;

  std::string doc_text_;
  std::string report_text_;
  int parent_pos_ = 0;
  int main_pos_ = 0;
  int child_pos_ = 0;
  int free_pos_ = 1;
  int deleted_pos_ = 0;
  int node_type_ = kNodeNone;
  int node_offset_ = 0;
  int node_length_ = 0;
  int doc_flags_ = 0;
  std::map<std::string, SavedPos> saved_positions_;
  std::vector<ElemRecord> elements_;
};

#endif  // LAUNCHER_MARKUP_MARKUP_DOCUMENT_H_
