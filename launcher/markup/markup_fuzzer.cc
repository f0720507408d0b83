// Drives parsing and a sequence of cursor and edit operations with hostile
// input, checking the element table against the text after every edit.
//
// Input: byte 0 is the number of operation bytes that follow (mod 64); the
// rest is the document text. The text also goes through the file layer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "launcher/markup/markup_document.h"
#include "launcher/markup/markup_file.h"

namespace {

const char* const kNames[] = {"a", "item", "r", "Download", "x-y", "b"};
const char* const kValues[] = {"", "1", "<&>\"'", "a&amp;b", "\xD6\xD0\xC3\xA9", "&#x41;"};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "markup_fuzzer: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t ops = data[0] % 64;
  if (ops > size - 1) ops = size - 1;
  const uint8_t* op = data + 1;
  std::string text(reinterpret_cast<const char*>(data + 1 + ops), size - 1 - ops);

  std::string decoded, report, encoded;
  int flags = 0;
  markup_file::DecodeFile(text, &decoded, &flags, &report);
  markup_file::EncodeFile(decoded, flags, &encoded, &report);

  MarkupDocument doc;
  doc.SetDoc(text);
  Check(doc.CheckTable(), "table after parse");
  Check(doc.GetReport().size() <= 1000, "report size");
  MarkupDocument copy;
  MarkupDocument* d = &doc;
  for (size_t i = 0; i < ops; ++i) {
    unsigned code = op[i] & 15, arg = op[i] >> 4;
    const char* name = kNames[arg % 6];
    const char* value = kValues[(arg / 2) % 6];
    switch (code) {
      case 0: d->ResetPos(); break;
      case 1: d->ResetMainPos(); break;
      case 2: d->FindElem(); break;
      case 3: d->FindElem(name); break;
      case 4: d->IntoElem(); break;
      case 5: d->OutOfElem(); break;
      case 6: d->GetData(); break;
      case 7: d->GetAttrib(name); break;
      case 8: d->SetAttrib(name, value); break;
      case 9: arg & 1 ? d->AddElem(name, value) : d->AddElem(name); break;
      case 10: arg & 1 ? d->InsertElem(name, value) : d->InsertElem(name, static_cast<int>(arg)); break;
      case 11: arg & 1 ? d->SavePos(name) : static_cast<void>(d->RestorePos(name)); break;
      case 12:
        copy = *d;
        d = &copy;
        break;
      case 13: d->SetAttrib(name, -static_cast<int>(arg)); break;
      case 14: d->FindElem(d->GetTagName()); break;
      case 15:
        d->SetDocFlags(d->GetDocFlags() ^ MarkupDocument::kDocIgnoreCase);
        d->SetDoc(std::string(d->GetDoc()));
        break;
    }
    Check(d->CheckTable(), "table after an operation");
  }
  // The edited text parses again into a consistent table.
  MarkupDocument again(d->GetDoc().c_str());
  Check(again.CheckTable(), "table after reparse");
  return 0;
}
