// Inert example exports that hosts built against earlier releases may link.
// Nothing in the library uses them.
#include "../../include/VQ6120_LIB.h"

int nVQ6120_LIB = 0;

int fnVQ6120_LIB(void) { return 42; }

CVQ6120_LIB::CVQ6120_LIB(void) = default;

CVQ6120_LIB &CVQ6120_LIB::operator=(const CVQ6120_LIB &) = default;
