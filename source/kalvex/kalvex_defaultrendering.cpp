// KxDefaultRendering: the forward pipeline.
#include "kalvex_internal.h"
#include "kalvex_bindings.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "kalvex_resources.h"

namespace
{
// Stages that are not among the built-in sources yet are null: a program
// with a missing stage is not built.
const unsigned char* const SKINNED_VS = kx_resource_find("skinned_vs.glsl");
const unsigned char* const BONE_VS = kx_resource_find("bone_vs.glsl");
const unsigned char* const BONE_FS = kx_resource_find("bone_fs.glsl");
const unsigned char* const SKYBOX_VS = kx_resource_find("skybox_vs.glsl");
const unsigned char* const SKYBOX_FS = kx_resource_find("skybox_fs.glsl");
const unsigned char* const EMITTER_VS = kx_resource_find("emitter_vs.glsl");
const unsigned char* const EMITTER_GS = kx_resource_find("emitter_gs.glsl");
const unsigned char* const EMITTER_FS = kx_resource_find("emitter_fs.glsl");
const unsigned char* const INSTANCED_VS = kx_resource_find("instanced_vs.glsl");
const unsigned char* const INSTANCED_FS = kx_resource_find("instanced_fs.glsl");

struct Stage
{
    int kind; // KxShader::Kind; 0 ends a program's list
    const unsigned char* text;
    const char* failure;
};

struct ProgramEntry
{
    Stage stages[5];
    const char* buildFailure;
    KxObject::Type type;
    int subtype;
    bool lit; // takes the per-light uniforms and the shadow map
};

const ProgramEntry PROGRAMS[] = {
    {{{KxShader::KIND_VERTEX, kx_resource_mesh_vs_glsl, "Unable to compile mesh VS"},
      {KxShader::KIND_FRAGMENT, kx_resource_mesh_fs_glsl, "Unable to compile mesh FS"}},
     "Unable to build mesh program", KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, true},
    {{{KxShader::KIND_VERTEX, kx_resource_mesh_tess_vs_glsl, "Unable to compile mesh tessellation VS"},
      {KxShader::KIND_TESS_CONTROL, kx_resource_mesh_tess_tcs_glsl, "Unable to compile mesh tessellation TCS"},
      {KxShader::KIND_TESS_EVALUATION, kx_resource_mesh_tess_tes_glsl, "Unable to compile mesh tessellation TES"},
      {KxShader::KIND_FRAGMENT, kx_resource_mesh_fs_glsl, "Unable to compile mesh FS"}},
     "Unable to build mesh tessellation program", KxObject::TYPE_MESH, KxMesh::KIND_TESSELLATED, true},
    {{{KxShader::KIND_VERTEX, kx_resource_mesh_normal_vs_glsl, "Unable to compile mesh normal mapping VS"},
      {KxShader::KIND_FRAGMENT, kx_resource_mesh_normal_fs_glsl, "Unable to compile mesh normal mapping FS"}},
     "Unable to compile mesh normal mapping shader", KxObject::TYPE_MESH, KxMesh::KIND_NORMAL_MAPPED, true},
    {{{KxShader::KIND_VERTEX, SKINNED_VS, "Unable to compile skinned VS"},
      {KxShader::KIND_FRAGMENT, kx_resource_mesh_fs_glsl, "Unable to compile mesh FS"}},
     "Unable to compile skinned shader", KxObject::TYPE_SKINNED, 0, true},
    {{{KxShader::KIND_VERTEX, kx_resource_quad_vs_glsl, "Unable to compile quad VS"},
      {KxShader::KIND_FRAGMENT, kx_resource_quad_fs_glsl, "Unable to compile quad FS"}},
     "Unable to compile quad FS", KxObject::TYPE_QUAD, 0, false},
    {{{KxShader::KIND_VERTEX, BONE_VS, "Unable to compile bone VS"},
      {KxShader::KIND_FRAGMENT, BONE_FS, "Unable to compile bone FS"}},
     "Unable to compile bone FS", KxObject::TYPE_BONE, 0, false},
    {{{KxShader::KIND_VERTEX, SKYBOX_VS, "Unable to compile skybox VS"},
      {KxShader::KIND_FRAGMENT, SKYBOX_FS, "Unable to compile skybox FS"}},
     "Unable to compile skybox FS", KxObject::TYPE_SKYBOX, 0, false},
    {{{KxShader::KIND_VERTEX, EMITTER_VS, "Unable to compile emitter VS"},
      {KxShader::KIND_GEOMETRY, EMITTER_GS, "Unable to compile emitter GS"},
      {KxShader::KIND_FRAGMENT, EMITTER_FS, "Unable to compile emitter FS"}},
     "Unable to build emitter shader", KxObject::TYPE_EMITTER, 0, false},
    {{{KxShader::KIND_VERTEX, INSTANCED_VS, "Unable to compile instanced VS"},
      {KxShader::KIND_FRAGMENT, INSTANCED_FS, "Unable to compile instanced FS"}},
     "Unable to build instaced program", KxObject::TYPE_INSTANCED, 0, true},
};
const size_t NR_OF_PROGRAMS = sizeof(PROGRAMS) / sizeof(PROGRAMS[0]);

const char* source(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}

bool available(const ProgramEntry& entry)
{
    for (const Stage& stage : entry.stages)
        if (stage.kind && !stage.text)
            return false;
    return true;
}
}

struct KxDefaultRendering::Private
{
    KxFbo* framebuffer = nullptr;
    KxTexture* colorTexture = nullptr;
    KxTexture* depthTexture = nullptr;
    KxFbo* multisampleFramebuffer = nullptr;
    KxTexture* multisampleColorTexture = nullptr;
    KxTexture* multisampleDepthTexture = nullptr;
    std::vector<KxShader*> shaders; // stages and programs, owned
    KxShader* programs[NR_OF_PROGRAMS] = {};
    KxShader* quadProgram = nullptr;
    // Stands in for shadow maps while the shadow pass is not loaded: a 1 x 1
    // depth cube map at depth 1.0, which reads as unshadowed everywhere.
    KxTexture* emptyShadowMap = nullptr;
    KxPostProc* postProc = nullptr;
};

KxDefaultRendering::KxDefaultRendering() : forwardReserved(new Private)
{
    setSubtype(2);
    setName("DefaultPipeline");
}

KxDefaultRendering::~KxDefaultRendering()
{
    unload(nullptr);
    delete forwardReserved;
}

namespace
{
// Builds a framebuffer with one colour and one depth texture of a kind each.
bool buildTarget(KxFbo*& fbo, KxTexture*& color, KxTexture*& depth, int colorKind, int depthKind, unsigned int colorOperation,
                 unsigned int depthOperation, int sizeX, int sizeY)
{
    color = new KxTexture;
    depth = new KxTexture;
    fbo = new KxFbo;
    if (!color->create(colorKind, sizeX, sizeY, 1, 0, 0) || !depth->create(depthKind, sizeX, sizeY, 1, 0, 0))
        return false;
    fbo->bindTexture(0, colorOperation, color, 0, 0);
    fbo->bindTexture(1, depthOperation, depth, 0, 0);
    bool complete = fbo->isOk();
    KxFbo::resetCache();
    return complete;
}
}

namespace
{
// The frame's targets: plain and multisampled colour and depth.
bool buildTargets(KxFbo*& framebuffer, KxTexture*& color, KxTexture*& depth, KxFbo*& multisampleFramebuffer,
                  KxTexture*& multisampleColor, KxTexture*& multisampleDepth, int sizeX, int sizeY)
{
    if (!buildTarget(framebuffer, color, depth, 5, 8, KxFbo::OP_COLOR_TEXTURE, KxFbo::OP_DEPTH_TEXTURE, sizeX, sizeY))
        return KX_LOG(LEVEL_ERROR, "Unable to setup standard framebuffer");
    if (!buildTarget(multisampleFramebuffer, multisampleColor, multisampleDepth, 22, 23,
                     KxFbo::OP_COLOR_TEXTURE_MULTISAMPLE, KxFbo::OP_DEPTH_TEXTURE_MULTISAMPLE, sizeX, sizeY))
        return KX_LOG(LEVEL_ERROR, "Unable to setup multisampling framebuffer");
    return true;
}
}

bool KxDefaultRendering::resize(int sizeX, int sizeY)
{
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *forwardReserved;
    if (!d.framebuffer)
        return KX_LOG(LEVEL_ERROR, "Pipeline not loaded");
    sizeX = std::min(sizeX, MAX_WINDOWSIZEX);
    sizeY = std::min(sizeY, MAX_WINDOWSIZEY);
    KxObject* old[] = {d.framebuffer, d.multisampleFramebuffer, d.colorTexture, d.depthTexture,
                       d.multisampleColorTexture, d.multisampleDepthTexture};
    for (KxObject* object : old)
        delete object;
    KxFbo::resetCache();
    if (!buildTargets(d.framebuffer, d.colorTexture, d.depthTexture, d.multisampleFramebuffer, d.multisampleColorTexture,
                      d.multisampleDepthTexture, sizeX, sizeY))
        return false;
    return !d.postProc || d.postProc->resize(sizeX, sizeY);
}

bool KxDefaultRendering::load(void* data)
{
    unload(nullptr);
    const KxConfig* config = static_cast<const KxConfig*>(data);
    int sizeX = std::min(config ? config->getWindowSizeX() : Kalvex::getWindowSizeX(), MAX_WINDOWSIZEX);
    int sizeY = std::min(config ? config->getWindowSizeY() : Kalvex::getWindowSizeY(), MAX_WINDOWSIZEY);
    Private& d = *forwardReserved;

    if (!buildTargets(d.framebuffer, d.colorTexture, d.depthTexture, d.multisampleFramebuffer, d.multisampleColorTexture,
                      d.multisampleDepthTexture, sizeX, sizeY))
        return false;

    // Stages shared between programs (the lit fragment stage) are compiled once.
    std::vector<std::pair<const unsigned char*, KxShader*>> compiled;
    auto stageFor = [&](const Stage& stage) -> KxShader* {
        for (const auto& known : compiled)
            if (known.first == stage.text)
                return known.second;
        KxShader* shader = new KxShader;
        d.shaders.push_back(shader);
        if (!shader->loadFromMemory(stage.kind, source(stage.text)) || !shader->compile())
        {
            KX_LOG(LEVEL_ERROR, "%s", stage.failure);
            return nullptr;
        }
        compiled.emplace_back(stage.text, shader);
        return shader;
    };

    for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
    {
        const ProgramEntry& entry = PROGRAMS[index];
        if (!available(entry))
            continue;
        KxShader* stages[KxShader::KIND_LAST] = {};
        for (const Stage& stage : entry.stages)
        {
            if (!stage.kind)
                break;
            if (!(stages[stage.kind] = stageFor(stage)))
                return false;
        }
        KxShader* program = new KxShader;
        d.shaders.push_back(program);
        if (!program->build(stages[KxShader::KIND_VERTEX], stages[KxShader::KIND_GEOMETRY],
                            stages[KxShader::KIND_FRAGMENT], nullptr, stages[KxShader::KIND_TESS_CONTROL],
                            stages[KxShader::KIND_TESS_EVALUATION]))
            return KX_LOG(LEVEL_ERROR, "%s", entry.buildFailure);
        setShader(program, entry.type, entry.subtype, FLAGS_ALONE);
        d.programs[index] = program;
        if (entry.type == TYPE_QUAD)
            d.quadProgram = program;
    }

    d.emptyShadowMap = new KxTexture;
    if (!d.emptyShadowMap->create(19, 1, 1, 1, 2, 0))
        return KX_LOG(LEVEL_ERROR, "Unable to create the empty shadow map");
    const float farthest = 1.0f;
    glClearTexImage(d.emptyShadowMap->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT, &farthest);

    d.postProc = new KxPostProc;
    if (!d.postProc->create(sizeX, sizeY))
        return KX_LOG(LEVEL_ERROR, "Unable to setup post-processing");
    d.postProc->setBloom(true);
    setPostProcFilter(d.postProc);
    return true;
}

bool KxDefaultRendering::unload(void*)
{
    Private& d = *forwardReserved;
    KxObject* owned[] = {d.framebuffer,      d.multisampleFramebuffer,  d.colorTexture,  d.depthTexture,
                         d.multisampleColorTexture, d.multisampleDepthTexture, d.emptyShadowMap, d.postProc};
    for (KxObject* object : owned)
        delete object;
    for (KxShader* shader : d.shaders)
        delete shader;
    d = Private();
    resetShaders();
    setPostProcFilter(nullptr);
    return true;
}

namespace
{
// Objects the list makes no batch for draw themselves: skinned meshes, and
// tessellated meshes, which are drawn as patches from their own buffers.
void renderSelfDrawn(KxList* list, const glm::mat4& view)
{
    for (unsigned int i = 0; i < list->getNrOfInstances(); ++i)
    {
        KxInstance& entry = list->getInstance(i);
        KxNode* node = entry.getNode();
        bool skinned = node->getType() == KxObject::TYPE_SKINNED;
        bool tessellated = node->getType() == KxObject::TYPE_MESH && node->getSubtype() == KxMesh::KIND_TESSELLATED;
        if (!skinned && !tessellated)
            continue;
        const glm::mat4& world = entry.getMatrix();
        glm::mat4 modelView = view * world;
        glm::mat3 normalMatrix = glm::transpose(glm::inverse(glm::mat3(world)));
        KxDrawRecord record = {&modelView, &normalMatrix, &world};
        node->render(&record);
    }
}
}

bool KxDefaultRendering::render(KxCamera* camera, KxList* list, KxFbo* fbo)
{
    if (!camera || !list)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *forwardReserved;
    if (!d.framebuffer)
        return KX_LOG(LEVEL_ERROR, "Pipeline not loaded");
    glm::mat4 view = glm::inverse(camera->getFinalMatrix());
    KxFbo* target = isAntiAliasing() ? d.multisampleFramebuffer : d.framebuffer;
    camera->render(nullptr);

    // A 2D camera draws the list once, over what is there: no clear, no light passes.
    if (camera->getSubtype() == KxCamera::PROJECTION_ORTHOGRAPHIC)
    {
        list->render(&view);
        return true;
    }
    if (camera->getSubtype() != KxCamera::PROJECTION_PERSPECTIVE)
        return true;

    target->render();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    glDepthMask(GL_TRUE);
    KxOpenGL::clear(true, true, true);
    // Sky boxes join here once the sky box class exists.

    // Unloaded in the reduced start: every light then reads as unshadowed.
    KxShadowPass* shadowPass = dynamic_cast<KxShadowPass*>(Kalvex::getPipeline(1));
    if (shadowPass && !shadowPass->getShadowMapTexture())
        shadowPass = nullptr;
    for (unsigned int i = 0; i < list->getNrOfLights(); ++i)
    {
        KxLight* light = static_cast<KxLight*>(list->getLightPtr(i));
        KxTexture* shadowMap = d.emptyShadowMap;
        if (shadowPass)
        {
            KxPipeline::setCurrent(shadowPass);
            shadowPass->setLightId(i);
            shadowPass->render(camera, list, nullptr);
            KxPipeline::setCurrent(this);
            if (light->getShadowMapTexture())
                shadowMap = light->getShadowMapTexture();
            else if (light->isCastingShadows())
                shadowMap = shadowPass->getShadowMapTexture();
            else
                shadowMap = shadowPass->getEmptyShadowMapTexture();
        }
        target->render();
        list->setPass(0);
        for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
        {
            KxShader* program = d.programs[index];
            if (!program || !PROGRAMS[index].lit)
                continue;
            program->render();
            program->setParamFloat(KxShader::NEAR_PLANE, light->getNearPlane());
            program->setParamFloat(KxShader::FAR_PLANE, light->getRadius());
            program->setParamFloat(KxShader::SHADOW_SOFTNESS, light->getShadowSoftness());
            program->setParamFloat(KxShader::SHADOW_BIAS, light->getShadowBias());
            program->setParamDWord(KxShader::LIGHT_ID, i);
            shadowMap->render(reinterpret_cast<void*>(uintptr_t{kx::unit::SHADOW_MAP}));
        }
        if (i > 0)
        {
            // Later lights add their share on top of the depth the first one laid down.
            glBlendFunc(GL_ONE, GL_ONE);
            glDepthMask(GL_FALSE);
            KxOpenGL::blending(true);
        }
        else
            KxOpenGL::blending(false);
        KxOpenGL::culling(true);
        camera->render(nullptr);
        list->render(&view);
        renderSelfDrawn(list, view);
        KxOpenGL::culling(false);
        if (i > 0)
        {
            KxOpenGL::blending(false);
            glDepthMask(GL_TRUE);
        }
    }

    if (isAntiAliasing())
        glBlitNamedFramebuffer(d.multisampleFramebuffer->getHandle(), d.framebuffer->getHandle(), 0, 0,
                               static_cast<GLint>(d.framebuffer->getSizeX()), static_cast<GLint>(d.framebuffer->getSizeY()),
                               0, 0, static_cast<GLint>(d.framebuffer->getSizeX()),
                               static_cast<GLint>(d.framebuffer->getSizeY()), GL_COLOR_BUFFER_BIT, GL_NEAREST);

    if (isPostProc() && d.postProc)
    {
        d.postProc->render(d.colorTexture, fbo);
        if (isSRGB())
            glEnable(GL_FRAMEBUFFER_SRGB);
        if (!fbo)
            Kalvex::renderFramebuffer(d.postProc->getTexture());
    }
    else
    {
        if (isSRGB())
            glEnable(GL_FRAMEBUFFER_SRGB);
        if (fbo)
            glBlitNamedFramebuffer(d.framebuffer->getHandle(), fbo->getHandle(), 0, 0,
                                   static_cast<GLint>(d.framebuffer->getSizeX()),
                                   static_cast<GLint>(d.framebuffer->getSizeY()), 0, 0,
                                   static_cast<GLint>(fbo->getSizeX()), static_cast<GLint>(fbo->getSizeY()),
                                   GL_COLOR_BUFFER_BIT, GL_NEAREST);
        else
            Kalvex::renderFramebuffer(d.colorTexture);
    }
    if (isSRGB())
        glDisable(GL_FRAMEBUFFER_SRGB);
    // The screen quad bound vertex arrays of its own.
    KxMesh::resetCache();
    return true;
}

KxShader* KxDefaultRendering::getQuadProgram() const
{
    return forwardReserved->quadProgram;
}

KxFbo* KxDefaultRendering::getFramebuffer() const
{
    return forwardReserved->framebuffer;
}

KxTexture* KxDefaultRendering::getColorTexture() const
{
    return forwardReserved->colorTexture;
}
