// Dialog template 9 of the resource library: the launcher window and its
// controls, in dialog units. The window moves most controls to their layout
// positions itself; these are only their starting places.
#ifndef TESTING_RESOURCES_DIALOG9_H_
#define TESTING_RESOURCES_DIALOG9_H_

#define QUILLFEN_DIALOG_ID 9
#define QUILLFEN_DIALOG_TITLE "Dovra: Glass Frontier"
// WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFONT | DS_MODALFRAME
#define QUILLFEN_DIALOG_STYLE 0x80C808C0u
#define QUILLFEN_DIALOG_SIZE 587, 381

// WS_CHILD | WS_VISIBLE, plus the control's own style bits.
#define QUILLFEN_CHILD 0x50000000u
#define QUILLFEN_OWNERDRAW 0x5001000Bu  // ... | WS_TABSTOP | BS_OWNERDRAW

// C(id, class, text, style, x, y, cx, cy)
#define QUILLFEN_DIALOG_CONTROLS(C)                                                     \
  C(1001, "RenewelWebBrowserHost", "", QUILLFEN_CHILD, 32, 78, 334, 216)               \
  C(1014, "Static", "", QUILLFEN_CHILD, 40, 355, 235, 10)                             \
  C(1015, "Static", "0%", QUILLFEN_CHILD, 294, 355, 67, 10)                           \
  C(1016, "Static", "", QUILLFEN_CHILD, 449, 39, 80, 10)                              \
  C(1018, "Static", "   Ver :", QUILLFEN_CHILD, 416, 39, 80, 10)                      \
  C(1020, "Static", "", QUILLFEN_CHILD, 113, 315, 80, 10)                             \
  C(1048, "msctls_progress32", "", QUILLFEN_CHILD, 38, 341, 288, 13)                  \
  C(1058, "Button", "", QUILLFEN_OWNERDRAW, 388, 224, 0, 0)                           \
  C(1059, "Button", "", QUILLFEN_OWNERDRAW, 468, 224, 0, 0)                           \
  C(1071, "Button", "", QUILLFEN_OWNERDRAW, 390, 249, 0, 0)                           \
  C(1072, "Button", "", QUILLFEN_OWNERDRAW, 390, 265, 0, 0)                           \
  C(1073, "Button", "", QUILLFEN_OWNERDRAW, 390, 282, 0, 0)                           \
  C(1012, "Button", "", QUILLFEN_OWNERDRAW, 343, 312, 143, 57)                        \
  C(1010, "Button", "", QUILLFEN_OWNERDRAW, 348, 314, 143, 57)                        \
  C(1070, "Button", "", QUILLFEN_OWNERDRAW, 506, 10, 34, 16)                          \
  C(1011, "Button", "", QUILLFEN_OWNERDRAW, 538, 10, 34, 16)

#endif  // TESTING_RESOURCES_DIALOG9_H_
