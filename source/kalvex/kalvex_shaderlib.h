// The built-in shader library: the text put in front of every stage and the
// built-in includes, all registered in one place.
#ifndef KALVEX_SHADERLIB_H
#define KALVEX_SHADERLIB_H

#include <string>

namespace kx
{
// Registers every built-in include with KxShader::setHashmap, each after the
// ones it needs. Runs right after KxShader::init; false if one is refused.
bool registerBuiltInIncludes();

// The "#define" lines of the bindings table, as the include "kx_bindings".
std::string bindingsInclude();

// A text with every KX_ name of the bindings table replaced by its value, so
// that a registered include reads "binding=2" where its source names the
// binding.
std::string resolveShaderConstants(const char* text);

// Version line, extension, bindings and the texture-mode macros: what
// KxShader::compile puts in front of every stage. poolSize is the number of
// texture-pool units in bound mode.
std::string stageHeader(bool bindless, unsigned int poolSize);
}

#endif // KALVEX_SHADERLIB_H
