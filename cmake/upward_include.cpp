// Built only by the layer checks: it includes KIV_UPWARD_HEADER, a header
// of a layer above the library it is built with, and must not compile.
#include KIV_UPWARD_HEADER
