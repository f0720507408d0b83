// The resource library's string table, shared by both builds of it.
#ifndef TOOLS_RESOURCES_STRINGS_H_
#define TOOLS_RESOURCES_STRINGS_H_

#define QUILLFEN_STRINGS(S)                   \
  S(13, "Updating Checker")                   \
  S(515, "serverlist.ini")                    \
  S(801, "DovraGameWindowSection")            \
  S(802, "QuillfenLauncherSection")           \
  S(1006, "about:blank")                      \
  S(1007, "about:blank")

#endif  // TOOLS_RESOURCES_STRINGS_H_
