// The resource library's string table, shared by both builds of it.
//
// A file "Quillfen.ini" beside the library may override any string of this
// table: section "strings", key = the string's number, for example
//   [strings]
//   803=<the publisher's public key, 44 characters of base64>
//   1007=http://127.0.0.1:8080/news.html
// The file is read once, when the library is loaded (Windows) or at its first
// string lookup (elsewhere). Numbers the table does not hold stay absent.
#ifndef TESTING_RESOURCES_STRINGS_H_
#define TESTING_RESOURCES_STRINGS_H_

#define QUILLFEN_STRINGS(S)                   \
  S(13, "Updating Checker")                   \
  S(515, "serverlist.ini")                    \
  S(801, "DovraGameWindowSection")            \
  S(802, "QuillfenLauncherSection")           \
  S(803, "") /* publisher key: none */       \
  S(1006, "about:blank")                      \
  S(1007, "about:blank")

// Section of Quillfen.ini that holds the overrides.
#define QUILLFEN_OVERRIDE_FILE "Quillfen.ini"
#define QUILLFEN_OVERRIDE_SECTION "strings"

#endif  // TESTING_RESOURCES_STRINGS_H_
