// The file layer of MarkupDocument: byte-order marks, declared encodings,
// UTF-8 detection and the conversions between a file's bytes and the
// in-memory text in the ANSI code page. Every byte a document file holds is
// read and written here.
#ifndef LAUNCHER_MARKUP_MARKUP_FILE_H_
#define LAUNCHER_MARKUP_MARKUP_FILE_H_

#include <string>
#include <string_view>

namespace markup_file {

// Code page named by an encoding name: an empty name is the ANSI code page,
// a name beginning with "UTF-32" is 65005, others are looked up with ASCII
// letters folded to lower case. 0 when the name is unknown (no conversion).
unsigned CodePageOfName(std::string_view name);
// Size of the name table, and the number of distinct code pages in it.
size_t EncodingNameCount();
size_t EncodingCodePageCount();

// The encoding a text declares: the encoding attribute of its XML
// declaration or, for HTML, the charset of a meta element with http-equiv
// Content-Type, looked for in the first 1024 bytes. False when none.
bool FindDeclaredEncoding(std::string_view text, std::string* name);

// Turns the bytes of a file into ANSI text. Sets the encoding marks of
// *doc_flags (UTF-16LE 1, UTF-8 with mark 4, UTF-16BE 0x80) from the
// byte-order mark and appends the file events to *report.
void DecodeFile(std::string_view bytes, std::string* text, int* doc_flags, std::string* report);

// Turns ANSI text into the bytes of a file in the document's encoding: the
// byte-order mark's when doc_flags has one, else the declared encoding, else
// UTF-8. Appends the file events to *report.
void EncodeFile(std::string_view text, int doc_flags, std::string* bytes, std::string* report);

}  // namespace markup_file

#endif  // LAUNCHER_MARKUP_MARKUP_FILE_H_
