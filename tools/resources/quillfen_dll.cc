// The resource library on Windows holds its resources natively; this is only
// its code section.
extern "C" int QuillfenResourceLibrary() { return 1; }
