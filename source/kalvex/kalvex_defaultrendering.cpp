// KxDefaultRendering: the forward pipeline.
#include "kalvex_internal.h"
#include "kalvex_deferred.h"
#include "kalvex_engine.h"
#include "kalvex_glcontext.h"
#include "kalvex_bindings.h"

#include <algorithm>
#include <string>
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

// Lit programs come in one variant per shadow filter: index 0 looks nothing
// up (lights without a shadow map), then 1, 4 and 20 taps.
const unsigned int FILTER_TAPS[] = {0, 1, 4, 20};
const size_t NR_OF_FILTERS = sizeof(FILTER_TAPS) / sizeof(FILTER_TAPS[0]);
const size_t SHADOW_FREE = 0;
const unsigned int DEFAULT_FILTER_TAPS = 20;
// Stands for the depth pre-pass's fragment stages among the filters' taps:
// they keep only the alpha test.
const unsigned int DEPTH_ONLY = ~0u;
// The mesh program, which draws the list's batches, has variants per filter
// for lights without a spot cone: without the cone's code, reading every map,
// the albedo map alone or none (the last two in bound mode, where the list
// splits its batches by material: kx::MaterialMaps::Use). A software
// rasteriser runs both sides of every branch and every sample on every pixel.
// llvmpipe holds megabytes per program: the other programs have none.
// The fewer-map versions are drawn only by the list's own batches, whose
// commands carry their draw index (kx::renderMeshBatch with a map use), so
// their vertex stage reads records as attributes alone, without the storage
// reads that hand-written commands need (which a software rasteriser would
// also run for every vertex).
const size_t VARIANTS_ENTRY = 0;
using MapUse = kx::MaterialMaps::Use;

// What a stage is built for, besides its source: fragment stages differ in
// all of it, other stages only in whether list batches alone draw with them.
struct Variant
{
    unsigned int taps = DEFAULT_FILTER_TAPS; // or DEPTH_ONLY
    MapUse maps = kx::MaterialMaps::USE_ALL;
    bool noCone = false;
    bool listOnly = false;
    bool operator==(const Variant& other) const
    {
        return taps == other.taps && maps == other.maps && noCone == other.noCone && listOnly == other.listOnly;
    }
};

size_t filterIndex(unsigned int taps)
{
    for (size_t i = 1; i < NR_OF_FILTERS; ++i)
        if (FILTER_TAPS[i] == taps)
            return i;
    return NR_OF_FILTERS;
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
    // Compiled stages by source and variant, so that programs share them.
    std::vector<std::pair<std::pair<const unsigned char*, Variant>, KxShader*>> stages;
    // Unlit programs live in the shadow-free column only.
    KxShader* programs[NR_OF_PROGRAMS][NR_OF_FILTERS] = {};
    // VARIANTS_ENTRY's variants for lights without a cone; the table keeps
    // naming the general programs.
    KxShader* coneless[kx::MaterialMaps::NR_OF_USES][NR_OF_FILTERS] = {};
    size_t filter = NR_OF_FILTERS - 1; // the configured shadow filter
    // The depth pre-pass's variants of the lit programs.
    KxShader* depthPrograms[NR_OF_PROGRAMS] = {};
    bool depthPrePass = false;
    KxShader* quadProgram = nullptr;
    // Stands in for shadow maps while the shadow pass is not loaded: a 1 x 1
    // depth cube map at depth 1.0, which reads as unshadowed everywhere.
    KxTexture* emptyShadowMap = nullptr;
    KxPostProc* postProc = nullptr;

    KxShader* stage(const Stage& stage, Variant variant);
    bool buildProgram(size_t index, size_t filter);
    // VARIANTS_ENTRY's variants with one filter, built with the general
    // programs; where one is missing the general program draws.
    bool buildVariants(size_t filter);
    bool link(const ProgramEntry& entry, Variant variant, KxShader*& program);
    bool buildDepthPrograms();
    // Lays the depth of every lit surface down, colour off.
    void renderDepth(KxPipeline& pipeline, KxCamera* camera, KxList* list, glm::mat4& view);
    // Points the lit programs at one light and its shadow map (or the
    // shadow-free column's at none) and registers them with the pipeline.
    void prepareLight(KxPipeline& pipeline, KxLight* light, unsigned int index, KxTexture* shadowMap, bool shadowed);
};

KxDefaultRendering::KxDefaultRendering() : forwardReserved(new Private)
{
    // The engine's setting (the quality preset's or the configuration's).
    size_t column = filterIndex(kx::engine ? kx::engine->shadowFilter : DEFAULT_FILTER_TAPS);
    forwardReserved->filter = column < NR_OF_FILTERS ? column : filterIndex(DEFAULT_FILTER_TAPS);
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

KxShader* KxDefaultRendering::Private::stage(const Stage& wanted, Variant variant)
{
    // Only fragment stages light; the others are shared by all variants
    // that hand-written commands may draw, and by all that they may not.
    if (wanted.kind != KxShader::KIND_FRAGMENT)
    {
        Variant shared;
        shared.listOnly = variant.listOnly;
        variant = shared;
    }
    for (const auto& known : stages)
        if (known.first.first == wanted.text && known.first.second == variant)
            return known.second;
    std::string text = source(wanted.text);
    if (variant.maps == kx::MaterialMaps::USE_NONE)
        text = "#define KX_NO_MATERIAL_MAPS\n" + text;
    else if (variant.maps == kx::MaterialMaps::USE_ALBEDO_ONLY)
        text = "#define KX_ALBEDO_MAP_ONLY\n" + text;
    if (variant.noCone)
        text = "#define KX_NO_SPOT_CONE\n" + text;
    if (variant.listOnly)
        text = "#define KX_LIST_RECORDS_ONLY\n" + text;
    if (variant.taps == DEPTH_ONLY)
        text = "#define KX_DEPTH_ONLY\n#define KX_SHADOW_TAPS 0\n" + text;
    else if (variant.taps != DEFAULT_FILTER_TAPS)
        text = "#define KX_SHADOW_TAPS " + std::to_string(variant.taps) + "\n" + text;
    // Read when the pipeline is loaded: a change takes a reload.
    if (kx::MaterialMaps::isFromPool() && wanted.kind == KxShader::KIND_FRAGMENT)
        text = "#define KX_MATERIAL_MAPS_FROM_POOL\n" + text;
    KxShader* shader = new KxShader;
    shaders.push_back(shader);
    if (!shader->loadFromMemory(wanted.kind, text.c_str()) || !shader->compile())
    {
        KX_LOG(LEVEL_ERROR, "%s", wanted.failure);
        return nullptr;
    }
    stages.push_back({{wanted.text, variant}, shader});
    return shader;
}

bool KxDefaultRendering::Private::buildProgram(size_t index, size_t filterColumn)
{
    if (programs[index][filterColumn])
        return true;
    Variant variant;
    variant.taps = FILTER_TAPS[filterColumn];
    return link(PROGRAMS[index], variant, programs[index][filterColumn]);
}

bool KxDefaultRendering::Private::buildVariants(size_t filterColumn)
{
    if (coneless[kx::MaterialMaps::USE_ALL][filterColumn] || !programs[VARIANTS_ENTRY][filterColumn])
        return true;
    Variant variant;
    variant.taps = FILTER_TAPS[filterColumn];
    variant.noCone = true;
    KxShader*& program = coneless[kx::MaterialMaps::USE_ALL][filterColumn];
    if (!link(PROGRAMS[VARIANTS_ENTRY], variant, program))
        return false;
    // Read when the pipeline is loaded, as the pool setting is.
    if (!kx::MaterialMaps::isActive())
        return true;
    variant.listOnly = true;
    for (MapUse maps : {kx::MaterialMaps::USE_ALBEDO_ONLY, kx::MaterialMaps::USE_NONE})
    {
        variant.maps = maps;
        if (!link(PROGRAMS[VARIANTS_ENTRY], variant, coneless[maps][filterColumn]))
            return false;
        kx::setMapVariant(program, maps, coneless[maps][filterColumn]);
    }
    return true;
}

bool KxDefaultRendering::Private::link(const ProgramEntry& entry, Variant variant, KxShader*& linked)
{
    KxShader* built[KxShader::KIND_LAST] = {};
    for (const Stage& wanted : entry.stages)
    {
        if (!wanted.kind)
            break;
        if (!(built[wanted.kind] = stage(wanted, variant)))
            return false;
    }
    KxShader* program = new KxShader;
    shaders.push_back(program);
    if (!program->build(built[KxShader::KIND_VERTEX], built[KxShader::KIND_GEOMETRY], built[KxShader::KIND_FRAGMENT],
                        nullptr, built[KxShader::KIND_TESS_CONTROL], built[KxShader::KIND_TESS_EVALUATION]))
        return KX_LOG(LEVEL_ERROR, "%s", entry.buildFailure);
    linked = program;
    return true;
}

// The vertex stages are the lit programs' own, so that the depths match theirs exactly.
bool KxDefaultRendering::Private::buildDepthPrograms()
{
    for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
        if (PROGRAMS[index].lit && programs[index][SHADOW_FREE] && !depthPrograms[index] &&
            !link(PROGRAMS[index], Variant{DEPTH_ONLY, kx::MaterialMaps::USE_ALL, false}, depthPrograms[index]))
            return false;
    return true;
}

bool KxDefaultRendering::setDepthPrePass(bool on)
{
    Private& d = *forwardReserved;
    if (on && d.framebuffer && !d.buildDepthPrograms())
        return false;
    d.depthPrePass = on;
    return true;
}

bool KxDefaultRendering::isDepthPrePass() const
{
    return forwardReserved->depthPrePass;
}

bool KxDefaultRendering::setShadowFilter(unsigned int taps)
{
    Private& d = *forwardReserved;
    size_t column = filterIndex(taps);
    if (column >= NR_OF_FILTERS)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (d.framebuffer)
    {
        for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
            if (PROGRAMS[index].lit && d.programs[index][SHADOW_FREE] && !d.buildProgram(index, column))
                return false;
        if (!d.buildVariants(column))
            return false;
        for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
            if (PROGRAMS[index].lit && d.programs[index][column])
                setShader(d.programs[index][column], PROGRAMS[index].type, PROGRAMS[index].subtype, FLAGS_ALONE);
    }
    d.filter = column;
    return true;
}

unsigned int KxDefaultRendering::getShadowFilter() const
{
    return FILTER_TAPS[forwardReserved->filter];
}

KxShader* KxDefaultRendering::getLitProgram(KxObject::Type type, int subtype, bool shadowed) const
{
    const Private& d = *forwardReserved;
    for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
        if (PROGRAMS[index].lit && PROGRAMS[index].type == type && PROGRAMS[index].subtype == subtype)
            return d.programs[index][shadowed ? d.filter : SHADOW_FREE];
    return nullptr;
}

bool KxDefaultRendering::load(void* data)
{
    unload(nullptr);
    const KxConfig* config = static_cast<const KxConfig*>(data);
    int sizeX = std::min(config ? config->getWindowSizeX() : kx::GlContext::capabilities().windowSizeX, MAX_WINDOWSIZEX);
    int sizeY = std::min(config ? config->getWindowSizeY() : kx::GlContext::capabilities().windowSizeY, MAX_WINDOWSIZEY);
    Private& d = *forwardReserved;

    if (!buildTargets(d.framebuffer, d.colorTexture, d.depthTexture, d.multisampleFramebuffer, d.multisampleColorTexture,
                      d.multisampleDepthTexture, sizeX, sizeY))
        return false;

    // Lit programs are built for the configured filter and without shadows;
    // other filters are built when first chosen.
    for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
    {
        const ProgramEntry& entry = PROGRAMS[index];
        if (!available(entry))
            continue;
        if (!d.buildProgram(index, SHADOW_FREE) || (entry.lit && !d.buildProgram(index, d.filter)))
            return false;
        KxShader* program = d.programs[index][entry.lit ? d.filter : SHADOW_FREE];
        setShader(program, entry.type, entry.subtype, FLAGS_ALONE);
        if (entry.type == TYPE_QUAD)
            d.quadProgram = program;
    }
    if (!d.buildVariants(SHADOW_FREE) || !d.buildVariants(d.filter))
        return false;
    // Built at load whether or not the pre-pass is on: nothing is made mid-frame.
    if (!d.buildDepthPrograms())
        return false;

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
    for (KxShader* program : d.coneless[kx::MaterialMaps::USE_ALL])
        for (MapUse maps : {kx::MaterialMaps::USE_ALBEDO_ONLY, kx::MaterialMaps::USE_NONE})
            kx::setMapVariant(program, maps, nullptr);
    for (KxShader* shader : d.shaders)
        delete shader;
    // Settings, not resources: they survive reloading.
    size_t filter = d.filter;
    bool depthPrePass = d.depthPrePass;
    d = Private();
    d.filter = filter;
    d.depthPrePass = depthPrePass;
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

void KxDefaultRendering::Private::prepareLight(KxPipeline& pipeline, KxLight* light, unsigned int index,
                                               KxTexture* shadowMap, bool shadowed)
{
    size_t column = shadowed ? filter : SHADOW_FREE;
    bool cone = light->getSpotExponent() > 0.0f; // as kx_light tells a cone
    for (size_t entry = 0; entry < NR_OF_PROGRAMS; ++entry)
    {
        KxShader* program = programs[entry][column];
        bool variants = entry == VARIANTS_ENTRY && !cone && coneless[kx::MaterialMaps::USE_ALL][column];
        if (variants)
            program = coneless[kx::MaterialMaps::USE_ALL][column];
        if (!program || !PROGRAMS[entry].lit)
            continue;
        pipeline.setShader(program, PROGRAMS[entry].type, PROGRAMS[entry].subtype, FLAGS_ALONE);
        for (KxShader* lit : {program, variants ? coneless[kx::MaterialMaps::USE_ALBEDO_ONLY][column] : nullptr,
                              variants ? coneless[kx::MaterialMaps::USE_NONE][column] : nullptr})
        {
            if (!lit)
                continue;
            lit->render();
            lit->setParamFloat(KxShader::NEAR_PLANE, light->getNearPlane());
            lit->setParamFloat(KxShader::FAR_PLANE, light->getRadius());
            lit->setParamFloat(KxShader::SHADOW_SOFTNESS, light->getShadowSoftness());
            lit->setParamFloat(KxShader::SHADOW_BIAS, light->getShadowBias());
            lit->setParamDWord(KxShader::LIGHT_ID, index);
        }
        shadowMap->render(reinterpret_cast<void*>(uintptr_t{kx::unit::SHADOW_MAP}));
    }
}

void KxDefaultRendering::Private::renderDepth(KxPipeline& pipeline, KxCamera* camera, KxList* list,
                                              glm::mat4& view)
{
    for (size_t entry = 0; entry < NR_OF_PROGRAMS; ++entry)
        if (depthPrograms[entry])
            pipeline.setShader(depthPrograms[entry], PROGRAMS[entry].type, PROGRAMS[entry].subtype, FLAGS_ALONE);
    kx::RenderState depthOnly = kx::RenderState::opaque();
    depthOnly.colorWrite = false;
    kx::GlContext::apply(depthOnly);
    list->setPass(0);
    camera->render(nullptr);
    list->render(&view);
    renderSelfDrawn(list, view);
    kx::GlContext::apply(kx::RenderState());
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
    // Nothing to resolve or filter: light straight into where the frame goes.
    bool direct = drawsDirectly(fbo);
    camera->render(nullptr);

    // A 2D camera draws the list once, over what is there: no clear, no light passes.
    if (camera->getSubtype() == KxCamera::PROJECTION_ORTHOGRAPHIC)
    {
        list->render(&view);
        return true;
    }
    if (camera->getSubtype() != KxCamera::PROJECTION_PERSPECTIVE)
        return true;

    auto bindTarget = [&]() {
        if (!direct)
            target->render();
        else if (fbo)
            fbo->render();
        else if (KxFbo::getCurrent())
        {
            KxFbo::resetCache();
            kx::GlContext::viewport(0, 0, kx::engine->windowSizeX, kx::engine->windowSizeY);
        }
    };
    bindTarget();
    KxOpenGL::setBackgroundColor(0.0f, 0.0f, 0.0f, 0.0f);
    kx::GlContext::depthWrite(true);
    KxOpenGL::clear(true, true, true);
    kx::deferred::renderSky(camera, view);

    // Unloaded in the reduced start: every light then reads as unshadowed.
    KxShadowPass* shadowPass = dynamic_cast<KxShadowPass*>(kx::pipeline(1));
    if (shadowPass && !shadowPass->getShadowMapTexture())
        shadowPass = nullptr;
    // With depth laid down first, each light shades only the visible fragments.
    bool prePass = d.depthPrePass && list->getNrOfLights() > 1 && d.buildDepthPrograms();
    if (prePass)
        d.renderDepth(*this, camera, list, view);
    for (unsigned int i = 0; i < list->getNrOfLights(); ++i)
    {
        KxLight* light = static_cast<KxLight*>(list->getLightPtr(i));
        KxTexture* shadowMap = d.emptyShadowMap;
        // A light without a map to read is lit by the programs that look nothing up.
        bool shadowed = shadowPass && light->isCastingShadows();
        if (shadowed)
        {
            KxPipeline::setCurrent(shadowPass);
            shadowPass->setLightId(i);
            shadowPass->render(camera, list, nullptr);
            KxPipeline::setCurrent(this);
            shadowMap = light->getShadowMapTexture() ? light->getShadowMapTexture() : shadowPass->getShadowMapTexture();
        }
        bindTarget();
        list->setPass(0);
        d.prepareLight(*this, light, i, shadowMap, shadowed);
        // Later lights add their share on top of the depth the first one (or the pre-pass) laid down.
        kx::RenderState state = i > 0 ? kx::RenderState::additive() : kx::RenderState::opaque();
        state.depthWrite = state.depthWrite && !prePass;
        kx::GlContext::apply(state);
        camera->render(nullptr);
        list->render(&view);
        renderSelfDrawn(list, view);
        kx::GlContext::apply(kx::RenderState());
        if (i + 1 == list->getNrOfLights())
            kx::renderEmitters(list, view);
    }

    // The table again names the configured filter's programs.
    for (size_t index = 0; index < NR_OF_PROGRAMS; ++index)
        if (PROGRAMS[index].lit && d.programs[index][d.filter])
            setShader(d.programs[index][d.filter], PROGRAMS[index].type, PROGRAMS[index].subtype, FLAGS_ALONE);

    if (direct)
    {
        KxMesh::resetCache();
        return true;
    }
    if (isAntiAliasing())
        glBlitNamedFramebuffer(d.multisampleFramebuffer->getHandle(), d.framebuffer->getHandle(), 0, 0,
                               static_cast<GLint>(d.framebuffer->getSizeX()), static_cast<GLint>(d.framebuffer->getSizeY()),
                               0, 0, static_cast<GLint>(d.framebuffer->getSizeX()),
                               static_cast<GLint>(d.framebuffer->getSizeY()), GL_COLOR_BUFFER_BIT, GL_NEAREST);

    kx::deferred::present(this, d.postProc, d.framebuffer, d.colorTexture, fbo);
    return true;
}

bool KxDefaultRendering::drawsDirectly(KxFbo* fbo) const
{
    if (isAntiAliasing() || isPostProc() || isSRGB())
        return false;
    if (!fbo)
        return true;
    // A caller's framebuffer takes the frame as it is only with the frame's
    // size and a depth buffer of its own; otherwise the frame is blitted in.
    const KxFbo* own = forwardReserved->framebuffer;
    if (fbo->getSizeX() != own->getSizeX() || fbo->getSizeY() != own->getSizeY())
        return false;
    GLint depthType = GL_NONE;
    glGetNamedFramebufferAttachmentParameteriv(fbo->getHandle(), GL_DEPTH_ATTACHMENT,
                                               GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &depthType);
    return depthType != GL_NONE;
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

// Particle emitters glow on top of the lit scene: drawn once, after the last
// light's pass, each advancing its particles one step.
void kx::renderEmitters(KxList* list, const glm::mat4& view)
{
    for (unsigned int i = 0; i < list->getNrOfInstances(); ++i)
    {
        KxInstance& entry = list->getInstance(i);
        KxNode* node = entry.getNode();
        if (node->getType() != KxObject::TYPE_EMITTER)
            continue;
        const glm::mat4& world = entry.getMatrix();
        glm::mat4 modelView = view * world;
        KxDrawRecord record = {&modelView, nullptr, &world};
        node->render(&record);
    }
}
