// The package patch tool ("Gleaner"): windowless; see patcher/gleaner.h.
#include "patcher/gleaner.h"
#include "platform/wide_text.h"

int main() { return GleanerMain(platform::WideCommandLine()); }
