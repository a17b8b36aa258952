// The image decoders of the stb package, compiled here with the fuzzing
// instrumentation: the package's shared library is not instrumented, so the
// fuzzer would see no coverage inside the decoders and AddressSanitizer no
// access. This copy takes the library's place for the whole process.
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
