#!/usr/bin/env bash
# The GL context object owns every cached binding and switch: outside it no
# library source changes that state directly, or the caches would lie.
# Usage: gl_layer.sh <library source directory>
set -u
dir=${1:?library source directory}
calls='glEnable|glDisable|glDepthMask|glDepthFunc|glBlendFunc|glBlendFuncSeparate|glBlendEquation|glCullFace|glFrontFace|glColorMask|glPolygonMode|glViewport|glUseProgram|glBindVertexArray|glBindFramebuffer|glBindTexture|glBindTextureUnit|glBindTextures|glActiveTexture|glBindBuffer|glBindBufferBase|glBindBufferRange|glDeleteTextures|glDeleteBuffers|glDeleteVertexArrays|glDeleteFramebuffers|glDeleteProgram'
allowed='kalvex_glcontext.cpp'
status=0
for file in "$dir"/*.cpp "$dir"/*.h; do
    [ "$(basename "$file")" = "$allowed" ] && continue
    if grep -nE "\\b($calls)\\s*\\(" "$file"; then
        echo "^ $(basename "$file") changes GL state itself; go through kx::GlContext" >&2
        status=1
    fi
done
exit $status
