// The one translation unit that emits msgpuck's lookup tables; every other file includes
// msgpuck.h plainly. The build's hidden visibility keeps these symbols inside the module.
#define MP_SOURCE 1
#include <msgpuck.h>
