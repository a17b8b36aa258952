// Fuzz target: the shader preprocessor with the engine's built-in includes
// and constants registered. An input holding a zero byte registers the text
// before it as "fuzz" (for "@include fuzz;" and "@fuzz@"); the text after it
// is the source. Sources are preprocessed, not compiled.
#include <cstring>
#include <string>

#include <kalvex.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::startEngine();
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string source = input;
    const size_t zero = input.find('\0');
    const bool registered = zero != std::string::npos;
    if (registered)
    {
        source = input.substr(zero + 1);
        KxShader::setHashmap("fuzz", input.substr(0, zero).c_str());
    }
    KxShader* shader = new KxShader;
    if (shader->loadFromMemory(KxShader::KIND_FRAGMENT, source.c_str()) && !shader->getSource())
        std::abort();
    delete shader;
    if (registered)
        KxShader::setHashmap("fuzz", nullptr);
    return 0;
}
