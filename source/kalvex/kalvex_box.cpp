// KxBox: the cube [-1, 1]^3, drawn with whatever program is current.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <cstdio>

namespace
{
// Faces back, front, left, right, top, bottom; two triangles each.
const float POSITIONS[36 * 3] = {
    -1, 1, -1, 1, -1, -1, -1, -1, -1, -1, 1, -1, 1, 1, -1, 1, -1, -1,  // back
    -1, -1, 1, 1, -1, 1, -1, 1, 1, -1, 1, 1, 1, -1, 1, 1, 1, 1,        // front
    -1, -1, -1, -1, -1, 1, -1, 1, -1, -1, 1, -1, -1, -1, 1, -1, 1, 1,  // left
    1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, -1, 1, 1, 1, 1, -1, 1,        // right
    -1, 1, -1, -1, 1, 1, 1, 1, -1, -1, 1, 1, 1, 1, 1, 1, 1, -1,        // top
    -1, -1, -1, 1, -1, -1, -1, -1, 1, -1, -1, 1, 1, -1, -1, 1, -1, 1,  // bottom
};
const float FACE_NORMALS[6][3] = {{0, 0, -1}, {0, 0, 1}, {-1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
const float FACE_UV[12] = {0, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 1};
}

struct KxBox::Private
{
    GLuint buffers[3] = {};
    GLuint vertexArray = 0;
    KxTexture* texture = nullptr;
};

KxBox::KxBox() : boxReserved(new Private)
{
    setType(TYPE_BOX);
    char name[32];
    std::snprintf(name, sizeof(name), "[Box%d]", getId());
    setName(name);

    float normals[36 * 3];
    float texCoords[36 * 2];
    for (int vertex = 0; vertex < 36; ++vertex)
    {
        for (int axis = 0; axis < 3; ++axis)
            normals[vertex * 3 + axis] = FACE_NORMALS[vertex / 6][axis];
        texCoords[vertex * 2] = FACE_UV[(vertex % 6) * 2];
        texCoords[vertex * 2 + 1] = FACE_UV[(vertex % 6) * 2 + 1];
    }
    glCreateBuffers(3, boxReserved->buffers);
    glNamedBufferData(boxReserved->buffers[0], sizeof(POSITIONS), POSITIONS, GL_STATIC_DRAW);
    glNamedBufferData(boxReserved->buffers[1], sizeof(normals), normals, GL_STATIC_DRAW);
    glNamedBufferData(boxReserved->buffers[2], sizeof(texCoords), texCoords, GL_STATIC_DRAW);

    glCreateVertexArrays(1, &boxReserved->vertexArray);
    const GLint components[3] = {3, 3, 2};
    for (GLuint location = 0; location < 3; ++location)
    {
        glVertexArrayVertexBuffer(boxReserved->vertexArray, location, boxReserved->buffers[location], 0,
                                  static_cast<GLsizei>(components[location] * sizeof(float)));
        glVertexArrayAttribFormat(boxReserved->vertexArray, location, components[location], GL_FLOAT, GL_FALSE, 0);
        glVertexArrayAttribBinding(boxReserved->vertexArray, location, location);
        glEnableVertexArrayAttrib(boxReserved->vertexArray, location);
    }
}

KxBox::~KxBox()
{
    kx::GlContext::deleteBuffers(3, boxReserved->buffers);
    kx::GlContext::deleteVertexArrays(1, &boxReserved->vertexArray);
    delete boxReserved;
}

bool KxBox::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for box %d invoked", getId());
    const KxDrawRecord* record = static_cast<const KxDrawRecord*>(data);
    if (!record || !record->modelViewMatrix)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxShader* shader = KxShader::getCurrent();
    if (!shader || !shader->render(nullptr))
        return KX_LOG(LEVEL_ERROR, "No program current");
    shader->setParamMatrix4(KxShader::MODELVIEW_MATRIX, *record->modelViewMatrix);
    if (boxReserved->texture)
        boxReserved->texture->render(nullptr);
    kx::GlContext::bindVertexArray(boxReserved->vertexArray);
    glDrawArrays(GL_TRIANGLES, 0, 36);
    KxStats::inc(KxStats::DRAW_CALL);
    KxStats::add(KxStats::TRIANGLE, 12);
    KxMesh::resetCache(); // binds 0 and tells the mesh cache so
    KxStats::inc(KxStats::BOX_RENDER);
    return true;
}
