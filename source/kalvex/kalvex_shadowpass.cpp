// KxShadowPass: omnidirectional shadow maps, one light at a time, all six cube
// faces in one pass through a geometry shader.
#include "kalvex_internal.h"
#include "kalvex_glcontext.h"

#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "kalvex_resources.h"

namespace
{
// Stages that are not among the built-in sources yet are null: a group
// with a missing stage is not built.
const unsigned char* const EMITTER_VS = kx_resource_find("shadow_emitter_vs.glsl");
const unsigned char* const EMITTER_GS = kx_resource_find("shadow_emitter_gs.glsl");
const unsigned char* const EMITTER_FS = kx_resource_find("shadow_emitter_fs.glsl");
const unsigned char* const INSTANCED_VS = kx_resource_find("shadow_instanced_vs.glsl");
const unsigned char* const INSTANCED_GS = kx_resource_find("shadow_instanced_gs.glsl");
const unsigned char* const INSTANCED_FS = kx_resource_find("shadow_instanced_fs.glsl");

// Every stage, in compile order.
enum StageId : int
{
    DEPTH_VS,
    SKINNED_VS,
    CUBE_GS,
    SOLID_FS,
    ALPHA_FS,
    EMITTER_VS_ID,
    EMITTER_GS_ID,
    EMITTER_FS_ID,
    INSTANCED_VS_ID,
    INSTANCED_GS_ID,
    INSTANCED_FS_ID,
    NR_OF_STAGES,
    NO_STAGE = -1,
};

struct Stage
{
    int kind; // KxShader::Kind
    const unsigned char* text;
    const char* failure;
};

const Stage STAGES[NR_OF_STAGES] = {
    {KxShader::KIND_VERTEX, kx_resource_shadow_vs_glsl, "Unable to compile shadow pass VS"},
    {KxShader::KIND_VERTEX, kx_resource_shadow_skinned_vs_glsl, "Unable to compile skinned shadow pass VS"},
    {KxShader::KIND_GEOMETRY, kx_resource_shadow_gs_glsl, "Unable to compile shadow pass GS"},
    {KxShader::KIND_FRAGMENT, kx_resource_shadow_solid_fs_glsl, "Unable to compile shadow pass solid FS"},
    {KxShader::KIND_FRAGMENT, kx_resource_shadow_alpha_fs_glsl, "Unable to compile shadow pass alpha FS"},
    {KxShader::KIND_VERTEX, EMITTER_VS, "Unable to compile emitter VS"},
    {KxShader::KIND_GEOMETRY, EMITTER_GS, "Unable to compile emitter GS"},
    {KxShader::KIND_FRAGMENT, EMITTER_FS, "Unable to compile emitter FS"},
    {KxShader::KIND_VERTEX, INSTANCED_VS, "Unable to compile instanced VS"},
    {KxShader::KIND_GEOMETRY, INSTANCED_GS, "Unable to compile instanced GS"},
    {KxShader::KIND_FRAGMENT, INSTANCED_FS, "Unable to compile instanced FS"},
};

struct Registration
{
    KxObject::Type type;
    int subtype;
    int flags;
};

enum ProgramId : int
{
    SOLID,
    ALPHA,
    SKINNED,
    EMITTER,
    INSTANCED,
    NR_OF_PROGRAMS,
};

struct Program
{
    StageId vertex, geometry, fragment;
    const char* failure;
    Registration registrations[2];
    int nrOfRegistrations;
};

const Program PROGRAMS[NR_OF_PROGRAMS] = {
    {DEPTH_VS, CUBE_GS, SOLID_FS, "Unable to compile shadow pass solid shader",
     {{KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, KxPipeline::FLAGS_OPAQUE_BATCH},
      {KxObject::TYPE_MESH, KxMesh::KIND_NORMAL_MAPPED, KxPipeline::FLAGS_OPAQUE_BATCH}},
     2},
    {DEPTH_VS, CUBE_GS, ALPHA_FS, "Unable to compile shadow pass alpha shader",
     {{KxObject::TYPE_MESH, KxMesh::KIND_TRIANGLES, KxPipeline::FLAGS_TRANSPARENT_BATCH},
      {KxObject::TYPE_MESH, KxMesh::KIND_NORMAL_MAPPED, KxPipeline::FLAGS_TRANSPARENT_BATCH}},
     2},
    {SKINNED_VS, CUBE_GS, SOLID_FS, "Unable to compile skinned shadow pass shader",
     {{KxObject::TYPE_SKINNED, 0, KxPipeline::FLAGS_ALONE}, {KxObject::TYPE_SKINNED, 1, KxPipeline::FLAGS_ALONE}},
     2},
    {EMITTER_VS_ID, EMITTER_GS_ID, EMITTER_FS_ID, "Unable to build emitter shader",
     {{KxObject::TYPE_EMITTER, 0, KxPipeline::FLAGS_ALONE}},
     1},
    {INSTANCED_VS_ID, INSTANCED_GS_ID, INSTANCED_FS_ID, "Unable to build instanced shader",
     {{KxObject::TYPE_INSTANCED, 0, KxPipeline::FLAGS_ALONE}},
     1},
};

// Stages are compiled group by group, each group's programs right after its
// stages: the solid, alpha and skinned programs share theirs.
struct Group
{
    StageId firstStage, lastStage;
    ProgramId firstProgram, lastProgram;
};
const Group GROUPS[] = {
    {DEPTH_VS, ALPHA_FS, SOLID, SKINNED},
    {EMITTER_VS_ID, EMITTER_FS_ID, EMITTER, EMITTER},
    {INSTANCED_VS_ID, INSTANCED_FS_ID, INSTANCED, INSTANCED},
};

const unsigned int DEFAULT_SHADOW_MAP_SIZE = 1024;

const char* source(const unsigned char* resource)
{
    return reinterpret_cast<const char*>(resource);
}

bool available(const Group& group)
{
    for (int stage = group.firstStage; stage <= group.lastStage; ++stage)
        if (!STAGES[stage].text)
            return false;
    return true;
}

// A depth cube map compared on lookup (kind 19), so that sampling it returns
// the filtered result of 2 x 2 comparisons.
KxTexture* createCubeMap(unsigned int size)
{
    KxTexture* texture = new KxTexture;
    if (!texture->create(19, size, size, 1, 2, 0))
    {
        delete texture;
        return nullptr;
    }
    return texture;
}

// The usual right-handed OpenGL perspective with a 90 degree field of view
// and a square aspect: 1 / tan(45 degrees) = 1 on both axes.
glm::mat4 cubeFaceProjection(float nearPlane, float farPlane)
{
    glm::mat4 projection(0.0f);
    projection[0][0] = 1.0f;
    projection[1][1] = 1.0f;
    projection[2][2] = -(farPlane + nearPlane) / (farPlane - nearPlane);
    projection[2][3] = -1.0f;
    projection[3][2] = -2.0f * farPlane * nearPlane / (farPlane - nearPlane);
    return projection;
}
}

struct KxShadowPass::Private
{
    unsigned int shadowMapSize = 0;
    unsigned int lightId = 0;
    bool useCulling = true;
    KxTexture* shadowMap = nullptr;
    KxTexture* emptyShadowMap = nullptr;
    KxFbo* framebuffer = nullptr;
    KxShader* stages[NR_OF_STAGES] = {};
    KxShader* programs[NR_OF_PROGRAMS] = {};
};

KxShadowPass::KxShadowPass() : shadowReserved(new Private)
{
    setSubtype(1);
    setName("ShadowPassPipeline");
}

KxShadowPass::~KxShadowPass()
{
    unload(nullptr);
    delete shadowReserved;
}

bool KxShadowPass::load(void* data)
{
    unload(nullptr);
    Private& d = *shadowReserved;
    const KxConfig* config = static_cast<const KxConfig*>(data);
    int size = config ? config->getShadowMapSize() : static_cast<int>(DEFAULT_SHADOW_MAP_SIZE);
    GLint largest = 0;
    glGetIntegerv(GL_MAX_CUBE_MAP_TEXTURE_SIZE, &largest);
    if (size < 1 || size > largest)
        return KX_LOG(LEVEL_ERROR, "Invalid shadow map size %d", size);
    d.shadowMapSize = static_cast<unsigned int>(size);

    for (const Group& group : GROUPS)
    {
        if (!available(group))
            continue;
        for (int id = group.firstStage; id <= group.lastStage; ++id)
        {
            KxShader* stage = new KxShader;
            d.stages[id] = stage;
            if (!stage->loadFromMemory(STAGES[id].kind, source(STAGES[id].text)) || !stage->compile())
                return KX_LOG(LEVEL_ERROR, "%s", STAGES[id].failure);
        }
        for (int id = group.firstProgram; id <= group.lastProgram; ++id)
        {
            const Program& entry = PROGRAMS[id];
            KxShader* program = new KxShader;
            d.programs[id] = program;
            if (!program->build(d.stages[entry.vertex], d.stages[entry.geometry], d.stages[entry.fragment]))
                return KX_LOG(LEVEL_ERROR, "%s", entry.failure);
        }
        for (int id = group.firstProgram; id <= group.lastProgram; ++id)
            for (int r = 0; r < PROGRAMS[id].nrOfRegistrations; ++r)
            {
                const Registration& registration = PROGRAMS[id].registrations[r];
                setShader(d.programs[id], registration.type, registration.subtype, registration.flags);
            }
    }

    d.shadowMap = createCubeMap(d.shadowMapSize);
    d.emptyShadowMap = createCubeMap(1);
    if (!d.shadowMap || !d.emptyShadowMap)
        return false; // create has said why
    if (KxOpenGL::kxGlobal* global = KxOpenGL::getGlobal())
        global->shadowMap = d.shadowMap->getBindlessHandle();

    // The empty map is cleared to the far plane once through the framebuffer,
    // which then keeps the shared map.
    d.framebuffer = new KxFbo;
    d.framebuffer->bindTexture(0, KxFbo::OP_DEPTH_TEXTURE_LAYERED, d.emptyShadowMap, 0, 0);
    glNamedFramebufferDrawBuffer(d.framebuffer->getHandle(), GL_NONE);
    glNamedFramebufferReadBuffer(d.framebuffer->getHandle(), GL_NONE);
    kx::GlContext::depthWrite(true);
    glClear(GL_DEPTH_BUFFER_BIT);
    d.framebuffer->bindTexture(0, KxFbo::OP_DEPTH_TEXTURE_LAYERED, d.shadowMap, 0, 0);
    bool complete = d.framebuffer->isOk();
    KxFbo::resetCache();
    if (!complete)
        return KX_LOG(LEVEL_ERROR, "Unable to create shadow FBO");
    return true;
}

bool KxShadowPass::unload(void*)
{
    Private& d = *shadowReserved;
    // The global block must not keep pointing at a texture about to go.
    KxOpenGL::kxGlobal* global = KxOpenGL::getGlobal();
    if (global && d.shadowMap && global->shadowMap == d.shadowMap->getBindlessHandle())
        global->shadowMap = 0;
    delete d.framebuffer;
    delete d.shadowMap;
    delete d.emptyShadowMap;
    for (KxShader* program : d.programs)
        delete program;
    for (KxShader* stage : d.stages)
        delete stage;
    unsigned int lightId = d.lightId;
    bool useCulling = d.useCulling;
    d = Private();
    d.lightId = lightId;
    d.useCulling = useCulling;
    resetShaders();
    return true;
}

bool KxShadowPass::render(KxCamera* camera, KxList* list, KxFbo*)
{
    if (!camera || !list)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    Private& d = *shadowReserved;
    if (!d.framebuffer)
        return KX_LOG(LEVEL_ERROR, "Pipeline not loaded");
    KxNode* node = list->getLightPtr(d.lightId);
    if (!node)
        return false; // getLightPtr has said why
    if (!node->isCastingShadows())
        return true;
    const glm::mat4& world = list->getLightMatrix(d.lightId);
    KxLight* light = node->getType() == TYPE_LIGHT ? static_cast<KxLight*>(node) : nullptr;
    if (!light)
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    // A light's own map is refreshed at most once per update interval, counted
    // in list updates. One never drawn (stamp 0) is drawn at once: its
    // contents are undefined until then.
    KxFbo* target = light->getShadowMapFbo() ? light->getShadowMapFbo() : d.framebuffer;
    if (target != d.framebuffer && target->getLastUpdate() != 0 &&
        KxList::getCurrentPassId() - target->getLastUpdate() < light->getUpdateInterval())
        return true;

    list->setPass(2);
    target->render();
    kx::GlContext::viewport(0, 0, static_cast<GLsizei>(target->getSizeX()), static_cast<GLsizei>(target->getSizeY()));

    glm::mat4 projection = cubeFaceProjection(light->getNearPlane(), light->getRadius());
    // Depth only; culling front faces keeps acne off lit surfaces. Culling
    // that was on stays on.
    kx::RenderState pass = kx::RenderState::shadow(d.useCulling);
    pass.culling = d.useCulling || KxOpenGL::isCulling();
    kx::GlContext::apply(pass);

    const glm::vec3 P(world[3]);
    const glm::mat4 faces[6] = {
        projection * glm::lookAt(P, P + glm::vec3(1, 0, 0), glm::vec3(0, -1, 0)),
        projection * glm::lookAt(P, P + glm::vec3(-1, 0, 0), glm::vec3(0, -1, 0)),
        projection * glm::lookAt(P, P + glm::vec3(0, 1, 0), glm::vec3(0, 0, 1)),
        projection * glm::lookAt(P, P + glm::vec3(0, -1, 0), glm::vec3(0, 0, -1)),
        projection * glm::lookAt(P, P + glm::vec3(0, 0, 1), glm::vec3(0, -1, 0)),
        projection * glm::lookAt(P, P + glm::vec3(0, 0, -1), glm::vec3(0, -1, 0)),
    };
    for (KxShader* program : d.programs)
        if (program)
            program->setParamMatrix4Array(KxShader::SHADOW_MAP_MATRIX_ARRAY, 6, faces);
    // Particles cast the shadow of squares facing the light.
    if (d.programs[EMITTER])
        d.programs[EMITTER]->setParamVector3(KxShader::LIGHT_POSITION, P);

    glClear(GL_DEPTH_BUFFER_BIT);
    glm::mat4 identity(1.0f);
    bool drawn = list->render(&identity);

    // Skinned meshes and emitters have no batch: they draw themselves, with
    // world matrices (the view is the identity here); each skips itself when
    // it casts no shadow.
    if (drawn)
        for (unsigned int i = 0; i < list->getNrOfInstances(); ++i)
        {
            KxInstance& entry = list->getInstance(i);
            KxNode* drawable = entry.getNode();
            if (!drawable || (drawable->getType() != TYPE_SKINNED && drawable->getType() != TYPE_EMITTER))
                continue;
            const glm::mat4& model = entry.getMatrix();
            glm::mat3 normalMatrix = glm::transpose(glm::inverse(glm::mat3(model)));
            KxDrawRecord record = {&model, &normalMatrix, &model};
            drawn = drawable->render(&record) && drawn;
        }

    kx::GlContext::colorWrite(true);
    kx::GlContext::cullFace(GL_BACK);
    target->setLastUpdate(KxList::getCurrentPassId());
    list->setPass(0);
    return drawn;
}

void KxShadowPass::setLightId(unsigned int lightId)
{
    shadowReserved->lightId = lightId;
}

unsigned int KxShadowPass::getLightId() const
{
    return shadowReserved->lightId;
}

void KxShadowPass::setUseCulling(bool useCulling)
{
    shadowReserved->useCulling = useCulling;
}

bool KxShadowPass::isUseCulling() const
{
    return shadowReserved->useCulling;
}

KxTexture* KxShadowPass::getShadowMapTexture() const
{
    return shadowReserved->shadowMap;
}

KxTexture* KxShadowPass::getEmptyShadowMapTexture() const
{
    return shadowReserved->emptyShadowMap;
}

unsigned int KxShadowPass::getShadowMapSize() const
{
    return shadowReserved->shadowMapSize;
}
