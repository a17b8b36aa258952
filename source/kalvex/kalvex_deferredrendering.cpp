// KxDeferredRendering: the deferred pipeline with four depth-peeled layers,
// and the parts of it the hybrid pipeline shares (kx::deferred).
#include "kalvex_internal.h"
#include "kalvex_deferred.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <algorithm>
#include <cstdio>

#include "kalvex_resources.h"

namespace
{
const unsigned int OCCLUSION_SLOT = kx::unit::GBUFFER_FIRST + 3;

const char* source(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}

void* textureUnit(unsigned int number)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(number));
}

// A texture view of one layer of a 2D array, wrapped as a 2D KxTexture. The
// view's GL name is returned in name: KxTexture does not own wrapped names.
KxTexture* layerView(KxTexture* array, GLenum internalFormat, unsigned int layer, GLuint& name)
{
    // Views need a name that was never bound: glCreateTextures would give one
    // with a target already, which glTextureView refuses.
    glGenTextures(1, &name);
    glTextureView(name, GL_TEXTURE_2D, array->getHandle(), internalFormat, 0, 1, layer, 1);
    KxTexture* view = new KxTexture;
    if (!view->createFromHandle(name))
    {
        delete view;
        return nullptr;
    }
    return view;
}
}

namespace kx::deferred
{
KxShader* buildStage(std::vector<KxShader*>& owned, int kind, const unsigned char* text, const char* failure)
{
    if (!text)
    {
        KX_LOG(LEVEL_ERROR, "%s", failure);
        return nullptr;
    }
    KxShader* shader = new KxShader;
    owned.push_back(shader);
    if (!shader->loadFromMemory(kind, source(text)) || !shader->compile())
    {
        KX_LOG(LEVEL_ERROR, "%s", failure);
        return nullptr;
    }
    return shader;
}

KxShader* buildProgram(std::vector<KxShader*>& owned, KxShader* vertex, KxShader* fragment, const char* failure)
{
    if (!vertex || !fragment)
        return nullptr;
    KxShader* program = new KxShader;
    owned.push_back(program);
    if (!program->build(vertex, nullptr, fragment))
    {
        KX_LOG(LEVEL_ERROR, "%s", failure);
        return nullptr;
    }
    return program;
}

bool addGeometryPrograms(KxPipeline* pipeline, std::vector<KxShader*>& owned, const unsigned char* fragment,
                         const unsigned char* normalMappedFragment, KxShader* programs[4])
{
    struct Entry
    {
        const unsigned char* vertex;
        const unsigned char* fragment;
        KxObject::Type type;
        int subtype;
    };
    // Skinned and instanced meshes give the plain mesh's outputs.
    const Entry entries[4] = {{kx_resource_find("mesh_vs.glsl"), fragment, KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES},
                              {kx_resource_find("mesh_normal_vs.glsl"), normalMappedFragment, KxObject::TYPE_MESH,
                               KxMesh::KIND_NORMAL_MAPPED},
                              {kx_resource_find("skinned_vs.glsl"), fragment, KxObject::TYPE_SKINNED, 0},
                              {kx_resource_find("instanced_vs.glsl"), fragment, KxObject::TYPE_INSTANCED, 0}};
    KxShader* fragmentStage = nullptr;
    for (int i = 0; i < 4; ++i)
    {
        KxShader* vertex =
            buildStage(owned, KxShader::KIND_VERTEX, entries[i].vertex, "Unable to compile geometry VS shader");
        // The plain fragment stage serves three of them.
        KxShader* shared = entries[i].fragment == fragment ? fragmentStage : nullptr;
        KxShader* stage = shared ? shared
                                 : buildStage(owned, KxShader::KIND_FRAGMENT, entries[i].fragment,
                                              "Unable to compile geometry FS shader");
        if (entries[i].fragment == fragment)
            fragmentStage = stage;
        programs[i] = buildProgram(owned, vertex, stage, "Unable to compile geometry pass shader");
        if (!programs[i] ||
            !pipeline->setShader(programs[i], entries[i].type, entries[i].subtype, KxPipeline::FLAGS_ALONE))
            return false;
    }
    return addUnlitPrograms(pipeline, owned);
}

void renderSky(KxCamera* camera, const glm::mat4& view)
{
    KxSkybox* skybox = camera->getSkybox();
    if (!skybox)
        return;
    // Centred on the eye: the view's rotation only.
    glm::mat4 rotation = view;
    rotation[3] = glm::vec4(0.0f, 0.0f, 0.0f, 1.0f);
    KxDrawRecord record = {&rotation, nullptr, nullptr};
    KxOpenGL::blending(false);
    skybox->render(&record);
}

bool addUnlitPrograms(KxPipeline* pipeline, std::vector<KxShader*>& owned)
{
    KxShader* vertex = buildStage(owned, KxShader::KIND_VERTEX, kx_resource_find("emitter_vs.glsl"),
                                  "Unable to compile emitter VS");
    KxShader* geometry = buildStage(owned, KxShader::KIND_GEOMETRY, kx_resource_find("emitter_gs.glsl"),
                                    "Unable to compile emitter GS");
    KxShader* fragment = buildStage(owned, KxShader::KIND_FRAGMENT, kx_resource_find("emitter_fs.glsl"),
                                    "Unable to compile emitter FS");
    if (!vertex || !geometry || !fragment)
        return false;
    KxShader* particles = new KxShader;
    owned.push_back(particles);
    if (!particles->build(vertex, geometry, fragment))
        return KX_LOG(LEVEL_ERROR, "Unable to build emitter shader");
    KxShader* sky = buildProgram(owned,
                                 buildStage(owned, KxShader::KIND_VERTEX, kx_resource_find("skybox_vs.glsl"),
                                            "Unable to compile sky box VS"),
                                 buildStage(owned, KxShader::KIND_FRAGMENT, kx_resource_find("skybox_fs.glsl"),
                                            "Unable to compile sky box FS"),
                                 "Unable to build sky box shader");
    return sky && pipeline->setShader(particles, KxObject::TYPE_EMITTER, 0, KxPipeline::FLAGS_ALONE) &&
           pipeline->setShader(sky, KxObject::TYPE_SKYBOX, 0, KxPipeline::FLAGS_ALONE);
}

void renderUnlit(KxCamera* camera, KxList* list, const glm::mat4& view, KxFbo* target, KxFbo* depthSource)
{
    bool particles = false;
    for (unsigned int i = 0; i < list->getNrOfInstances() && !particles; ++i)
        particles = list->getInstance(i).getNode()->getType() == KxObject::TYPE_EMITTER;
    // Most frames have neither: no depth copy then.
    if (!particles && !camera->getSkybox())
        return;
    if (depthSource)
        glBlitNamedFramebuffer(depthSource->getHandle(), target->getHandle(), 0, 0,
                               static_cast<GLint>(depthSource->getSizeX()), static_cast<GLint>(depthSource->getSizeY()),
                               0, 0, static_cast<GLint>(target->getSizeX()), static_cast<GLint>(target->getSizeY()),
                               GL_DEPTH_BUFFER_BIT, GL_NEAREST);
    target->render(nullptr);
    camera->render(nullptr); // the lighting quads' 2D camera was the last one
    KxOpenGL::depthTest(true);
    renderSky(camera, view);
    kx::renderEmitters(list, view);
    KxOpenGL::blending(false);
}

KxTexture* createEmptyShadowMap()
{
    KxTexture* map = new KxTexture;
    if (!map->create(19, 1, 1, 1, 2, 0))
    {
        delete map;
        return nullptr;
    }
    const float farthest = 1.0f;
    glClearTexImage(map->getHandle(), 0, GL_DEPTH_COMPONENT, GL_FLOAT, &farthest);
    return map;
}

KxSsao* createSsao(int sizeX, int sizeY)
{
    KxSsao* ssao = new KxSsao;
    if (ssao->create(sizeX, sizeY))
        return ssao;
    KX_LOG(LEVEL_WARNING, "Ambient occlusion is not available");
    delete ssao;
    return nullptr;
}

void renderSkinned(KxList* list, const glm::mat4& view)
{
    for (unsigned int i = 0; i < list->getNrOfInstances(); ++i)
    {
        KxInstance& entry = list->getInstance(i);
        KxNode* node = entry.getNode();
        if (node->getType() != KxObject::TYPE_SKINNED)
            continue;
        const glm::mat4& world = entry.getMatrix();
        glm::mat4 modelView = view * world;
        glm::mat3 normalMatrix = glm::transpose(glm::inverse(glm::mat3(world)));
        KxDrawRecord record = {&modelView, &normalMatrix, &world};
        node->render(&record);
    }
}

void renderLights(KxPipeline* pipeline, KxCamera* camera, KxList* list, const LightStage& stage,
                  const std::function<void(KxLight*, unsigned int)>& afterLight)
{
    // Unloaded in the reduced start: every light then reads as unshadowed.
    KxShadowPass* shadowPass = dynamic_cast<KxShadowPass*>(kx::pipeline(1));
    if (shadowPass && !shadowPass->getShadowMapTexture())
        shadowPass = nullptr;
    const glm::mat4 identity(1.0f);
    KxDrawRecord record = {&identity, nullptr, nullptr};
    list->setCullingCamera(camera);
    for (unsigned int i = 0; i < list->getNrOfLights(); ++i)
    {
        KxLight* light = static_cast<KxLight*>(list->getLightPtr(i));
        KxTexture* shadowMap = stage.emptyShadowMap;
        if (shadowPass)
        {
            KxPipeline::setCurrent(shadowPass);
            shadowPass->setLightId(i);
            shadowPass->render(camera, list, nullptr);
            KxPipeline::setCurrent(pipeline);
            if (light->getShadowMapTexture())
                shadowMap = light->getShadowMapTexture();
            else if (light->isCastingShadows())
                shadowMap = shadowPass->getShadowMapTexture();
            else
                shadowMap = shadowPass->getEmptyShadowMapTexture();
        }
        stage.target->render(nullptr);
        stage.screenCamera->render(nullptr);
        // Quads add up over whatever depth the target holds.
        KxOpenGL::depthTest(false);
        KxOpenGL::culling(false);
        kx::GlContext::blendFunction(GL_ONE, GL_ONE);
        KxOpenGL::blending(true);
        KxShader* program = stage.program;
        program->render(nullptr);
        program->setParamMatrix4(KxShader::INVERSE_PROJECTION_MATRIX, stage.inverseProjection);
        program->setParamFloat(KxShader::GENERIC0 + 1, stage.m33);
        program->setParamFloat(KxShader::GENERIC0 + 2, stage.m43);
        program->setParamMatrix4(KxShader::VIEW_MATRIX, stage.cameraMatrix);
        program->setParamFloat(KxShader::NEAR_PLANE, light->getNearPlane());
        program->setParamFloat(KxShader::FAR_PLANE, light->getRadius());
        program->setParamFloat(KxShader::SHADOW_SOFTNESS, light->getShadowSoftness());
        program->setParamFloat(KxShader::SHADOW_BIAS, light->getShadowBias());
        program->setParamDWord(KxShader::LIGHT_ID, i);
        shadowMap->render(textureUnit(kx::unit::SHADOW_MAP));
        kx::TexturePool::bind(); // the materials' maps
        stage.quad->render(&record);
        KxOpenGL::blending(false);
        KxOpenGL::depthTest(true);
        if (afterLight)
            afterLight(light, i);
    }
}

void present(KxPipeline* pipeline, KxPostProc* postProc, KxFbo* source, KxTexture* image, KxFbo* target)
{
    KxFbo::resetCache();
    if (pipeline->isPostProc() && postProc)
    {
        postProc->render(image, target);
        if (pipeline->isSRGB())
            kx::GlContext::framebufferSrgb(true);
        if (!target)
            kx::presentTexture(postProc->getTexture());
    }
    else
    {
        if (pipeline->isSRGB())
            kx::GlContext::framebufferSrgb(true);
        if (target)
            glBlitNamedFramebuffer(source->getHandle(), target->getHandle(), 0, 0,
                                   static_cast<GLint>(source->getSizeX()), static_cast<GLint>(source->getSizeY()), 0,
                                   0, static_cast<GLint>(target->getSizeX()), static_cast<GLint>(target->getSizeY()),
                                   GL_COLOR_BUFFER_BIT, GL_NEAREST);
        else
            kx::presentTexture(image);
    }
    if (pipeline->isSRGB())
        kx::GlContext::framebufferSrgb(false);
    // The screen quad bound vertex arrays of its own.
    KxMesh::resetCache();
}
}

struct KxDeferredRendering::Private
{
    KxFbo* layerFbos[MAX_LAYERS] = {};
    KxTexture* normalArray = nullptr;
    KxTexture* surfaceArray = nullptr;
    KxTexture* depthArray = nullptr;
    KxFbo* displayFbo = nullptr;
    KxTexture* displayTexture = nullptr;
    KxFbo* depthOnlyFbo = nullptr;
    // Layer 0 seen as 2D textures, for the screen-space filters.
    GLuint viewNames[2] = {};
    KxTexture* normalView = nullptr;
    KxTexture* depthView = nullptr;
    KxFbo* viewFbo = nullptr;
    std::vector<KxShader*> shaders; // stages and programs, owned
    KxShader* geometryPrograms[4] = {}; // plain, normal-mapped, skinned, instanced
    KxShader* lightProgram = nullptr;
    KxQuad* lightQuad = nullptr;
    KxCamera* camera = nullptr;
    KxPostProc* postProc = nullptr;
    KxSsao* ssao = nullptr;
    bool useSsao = true;
    KxVolLighting* volLighting = nullptr;
    KxTexture* emptyShadowMap = nullptr;

    // The display target, the layered G-buffer with a framebuffer per layer,
    // the depth-only one and the layer-0 views; false after logging.
    bool buildTargets(int sizeX, int sizeY);
};

namespace
{
bool createArray(KxTexture*& texture, int kind, int sizeX, int sizeY)
{
    texture = new KxTexture;
    return texture->create(kind, static_cast<unsigned int>(sizeX), static_cast<unsigned int>(sizeY),
                           KxDeferredRendering::MAX_LAYERS, 1, 0);
}
}

bool KxDeferredRendering::Private::buildTargets(int sizeX, int sizeY)
{
    displayTexture = new KxTexture;
    displayFbo = new KxFbo;
    if (!displayTexture->create(7, sizeX, sizeY, 1, 0, 0) ||
        !displayFbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, displayTexture, 0, 0) || !displayFbo->isOk())
        return KX_LOG(LEVEL_ERROR, "Unable to create display FBO");
    if (!createArray(normalArray, 14, sizeX, sizeY) || !createArray(surfaceArray, 14, sizeX, sizeY) ||
        !createArray(depthArray, 15, sizeX, sizeY))
        return KX_LOG(LEVEL_ERROR, "Unable to create the G-buffer");
    for (unsigned int layer = 0; layer < MAX_LAYERS; ++layer)
    {
        KxFbo* fbo = layerFbos[layer] = new KxFbo;
        fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE_LAYER, normalArray, 0, static_cast<int>(layer));
        fbo->bindTexture(1, KxFbo::OP_COLOR_TEXTURE_LAYER, surfaceArray, 1, static_cast<int>(layer));
        fbo->bindTexture(2, KxFbo::OP_DEPTH_TEXTURE_LAYER, depthArray, 0, static_cast<int>(layer));
        if (!fbo->isOk())
            return KX_LOG(LEVEL_ERROR, "Unable to create deferred FBO number %u", layer);
    }
    depthOnlyFbo = new KxFbo;
    depthOnlyFbo->bindTexture(0, KxFbo::OP_DEPTH_TEXTURE_LAYER, depthArray, 0, 0);
    if (!depthOnlyFbo->isOk())
        return KX_LOG(LEVEL_ERROR, "Unable to create depth-only FBO");
    normalView = layerView(normalArray, GL_RGBA32F, 0, viewNames[0]);
    depthView = layerView(depthArray, GL_DEPTH_COMPONENT32, 0, viewNames[1]);
    viewFbo = new KxFbo;
    if (!normalView || !depthView || !viewFbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, normalView, 0, 0) ||
        !viewFbo->bindTexture(1, KxFbo::OP_DEPTH_TEXTURE, depthView, 0, 0) || !viewFbo->isOk())
        return KX_LOG(LEVEL_ERROR, "Unable to create the G-buffer layer views");
    KxFbo::resetCache();
    return true;
}

KxDeferredRendering::KxDeferredRendering() : deferredReserved(new Private)
{
    setSubtype(3);
    setName("DeferredPipeline");
}

KxDeferredRendering::~KxDeferredRendering()
{
    unload(nullptr);
    delete deferredReserved;
}

bool KxDeferredRendering::render(void*)
{
    return true;
}

bool KxDeferredRendering::load(void* data)
{
    unload(nullptr);
    Private& d = *deferredReserved;
    d.useSsao = true;
    const KxConfig* config = static_cast<const KxConfig*>(data);
    int sizeX = std::min(config ? config->getWindowSizeX() : kx::GlContext::capabilities().windowSizeX, MAX_WINDOWSIZEX);
    int sizeY = std::min(config ? config->getWindowSizeY() : kx::GlContext::capabilities().windowSizeY, MAX_WINDOWSIZEY);
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    if (!d.buildTargets(sizeX, sizeY) || !buildPrograms())
    {
        unload(nullptr);
        return false;
    }

    d.lightQuad = new KxQuad(true); // texture rows as the screen's
    d.lightQuad->setTexture(d.normalArray, 0);
    d.lightQuad->setTexture(d.surfaceArray, 1);
    d.lightQuad->setTexture(d.depthArray, 2);
    d.lightQuad->resize(sizeX, sizeY);
    d.lightQuad->setShader(d.lightProgram);
    d.camera = new KxCamera;
    d.camera->setSubtype(KxCamera::PROJECTION_ORTHOGRAPHIC);
    d.camera->setViewport(0, 0, sizeX, sizeY);

    d.emptyShadowMap = kx::deferred::createEmptyShadowMap();
    d.postProc = new KxPostProc;
    if (!d.emptyShadowMap || !d.postProc->create(sizeX, sizeY))
    {
        unload(nullptr);
        return KX_LOG(LEVEL_ERROR, "Unable to setup post-processing");
    }
    d.postProc->setBloom(true);
    setPostProcFilter(d.postProc);
    d.ssao = kx::deferred::createSsao(sizeX, sizeY);
    setUseSsao(true);
    d.volLighting = new KxVolLighting;
    if (!d.volLighting->create(sizeX, sizeY))
    {
        KX_LOG(LEVEL_WARNING, "Volumetric lighting is not available");
        delete d.volLighting;
        d.volLighting = nullptr;
    }
    return true;
}

bool KxDeferredRendering::buildPrograms()
{
    Private& d = *deferredReserved;
    if (!kx::deferred::addGeometryPrograms(this, d.shaders, kx_resource_gbuffer_peel_fs_glsl,
                                           kx_resource_gbuffer_peel_normal_fs_glsl, d.geometryPrograms))
        return false;
    d.lightProgram = kx::deferred::buildProgram(
        d.shaders,
        kx::deferred::buildStage(d.shaders, KxShader::KIND_VERTEX, kx_resource_deferred_light_vs_glsl,
                                 "Unable to compile omni light VS shader"),
        kx::deferred::buildStage(d.shaders, KxShader::KIND_FRAGMENT, kx_resource_deferred_light_fs_glsl,
                                 "Unable to compile omni light FS shader"),
        "Unable to compile omni light pass shader");
    return d.lightProgram && setShader(d.lightProgram, TYPE_QUAD, 0, FLAGS_ALONE);
}

bool KxDeferredRendering::unload(void*)
{
    Private& d = *deferredReserved;
    KxObject* owned[] = {d.displayFbo, d.depthOnlyFbo, d.viewFbo,  d.displayTexture, d.layerFbos[0],
                         d.layerFbos[1], d.layerFbos[2], d.layerFbos[3], d.normalView,  d.depthView,
                         d.normalArray, d.surfaceArray, d.depthArray, d.camera,      d.lightQuad,
                         d.postProc,   d.ssao,          d.volLighting, d.emptyShadowMap};
    for (KxObject* object : owned)
        delete object;
    kx::GlContext::deleteTextures(2, d.viewNames); // after the wrappers, which do not own them
    for (KxShader* shader : d.shaders)
        delete shader;
    d = Private();
    d.useSsao = false;
    resetShaders();
    setPostProcFilter(nullptr);
    return true;
}

void KxDeferredRendering::renderGeometry(KxCamera* camera, KxList* list, glm::mat4 view)
{
    Private& d = *deferredReserved;
    KxOpenGL::depthTest(true);
    KxOpenGL::blending(false);
    kx::GlContext::depthWrite(true);
    list->setPass(1);
    for (unsigned int layer = 0; layer < MAX_LAYERS; ++layer)
    {
        d.layerFbos[layer]->render(nullptr);
        camera->render(nullptr);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        for (KxShader* program : d.geometryPrograms)
        {
            program->render(nullptr);
            program->setParamInt(KxShader::LAYER, static_cast<int>(layer));
            if (layer > 0)
                d.depthArray->render(textureUnit(kx::unit::GBUFFER_PEEL_DEPTH));
        }
        KxOpenGL::culling(true);
        list->render(&view);
        kx::deferred::renderSkinned(list, view);
    }
    KxOpenGL::culling(false);
}

bool KxDeferredRendering::render(KxCamera* camera, KxList* list, KxFbo* fbo)
{
    if (!camera || !list)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *deferredReserved;
    KxFbo* output = (kx::engine ? kx::engine->mainFramebuffer : nullptr);
    if (!d.lightProgram || !output)
        return KX_LOG(LEVEL_ERROR, "Pipeline not loaded");
    glm::mat4 cameraMatrix = camera->getFinalMatrix();
    glm::mat4 view = glm::inverse(cameraMatrix);
    camera->render(nullptr);
    glm::vec4 background = KxOpenGL::getBackgroundColor();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    if (camera->getSubtype() != KxCamera::PROJECTION_PERSPECTIVE)
    {
        KxOpenGL::setBackgroundColor(background);
        return true;
    }

    renderGeometry(camera, list, view);

    glm::mat4 projection = camera->getProjMatrix();
    kx::deferred::LightStage stage = {d.lightProgram, d.lightQuad, d.camera, output, d.emptyShadowMap,
                                      glm::inverse(projection), projection[2][2], projection[3][2], cameraMatrix};
    if (d.useSsao && d.ssao)
    {
        d.ssao->setInvCameraProjMatrix(stage.inverseProjection);
        d.ssao->setM33(stage.m33);
        d.ssao->setM43(stage.m43);
        d.ssao->render(d.viewFbo);
    }

    // Uploads the lights only, so that the lighting stage's table is current.
    list->setPass(3);
    list->update(view);
    output->render(nullptr);
    glClear(GL_COLOR_BUFFER_BIT);
    kx::deferred::renderLights(this, camera, list, stage, [&](KxLight* light, unsigned int index) {
        if (!light->isVolumetric() || !d.volLighting)
            return;
        KxVolLighting* volumetric = d.volLighting;
        volumetric->setInvCameraProjMatrix(stage.inverseProjection);
        volumetric->setM33(stage.m33);
        volumetric->setM43(stage.m43);
        volumetric->setLight(light, index);
        volumetric->setCamera(camera);
        volumetric->setCameraMatrix(cameraMatrix);
        volumetric->setOutput(output, d.depthView);
        volumetric->render(d.depthOnlyFbo);
    });
    list->setPass(0);

    // The first layer's depth under the sky and the particles.
    kx::deferred::renderUnlit(camera, list, view, output, d.viewFbo);

    kx::deferred::present(this, d.postProc, output, output->getTexture(0), fbo);
    KxOpenGL::setBackgroundColor(background);
    return true;
}

KxFbo* KxDeferredRendering::getFbo() const
{
    return deferredReserved->layerFbos[0];
}

KxTexture* KxDeferredRendering::getNormalArray() const
{
    return deferredReserved->normalArray;
}

KxTexture* KxDeferredRendering::getSurfaceArray() const
{
    return deferredReserved->surfaceArray;
}

KxTexture* KxDeferredRendering::getDepthArray() const
{
    return deferredReserved->depthArray;
}

void KxDeferredRendering::setUseSsao(bool on)
{
    Private& d = *deferredReserved;
    d.useSsao = on;
    if (d.lightQuad)
        d.lightQuad->setTexture(on && d.ssao ? d.ssao->getTexture() : KxTexture::getDefault(), OCCLUSION_SLOT);
}

bool KxDeferredRendering::isUseSsao() const
{
    return deferredReserved->useSsao;
}

KxSsao* KxDeferredRendering::getSsao() const
{
    return deferredReserved->ssao;
}

KxVolLighting* KxDeferredRendering::getVolLighting() const
{
    return deferredReserved->volLighting;
}
