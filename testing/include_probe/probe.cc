// One translation unit that includes the header named by PROBE_HEADER, and
// nothing else: built against a chosen library, it shows whether that header
// is among the ones the library sees.
#include PROBE_HEADER
