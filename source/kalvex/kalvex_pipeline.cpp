// KxPipeline: the shader table shared by every pipeline, and the current pipeline.
#include "kalvex_internal.h"

#include <algorithm>
#include <vector>

namespace
{
const int TABLE_SIZE = KxPipeline::NR_OF_TYPES * KxPipeline::MAX_NROFSUBTYPES * KxPipeline::NR_OF_FLAGS;

struct PipelineState
{
    KxPipeline* current = nullptr;
    struct MapVariant
    {
        const KxShader* program;
        kx::MaterialMaps::Use maps;
        KxShader* variant;
    };
    std::vector<MapVariant> mapVariants; // a handful
    bool mapVariantsEnabled = true;
};
PipelineState* state = nullptr;

bool inRange(int type, int subtype, int flags)
{
    return type >= 0 && type < KxPipeline::NR_OF_TYPES && static_cast<unsigned>(subtype) < KxPipeline::MAX_NROFSUBTYPES &&
           static_cast<unsigned>(flags) < KxPipeline::NR_OF_FLAGS;
}

int tableIndex(int type, int subtype, int flags)
{
    return type * KxPipeline::MAX_NROFSUBTYPES * KxPipeline::NR_OF_FLAGS + subtype * KxPipeline::NR_OF_FLAGS + flags;
}
}

struct KxPipeline::Private
{
    KxShader* shaders[TABLE_SIZE] = {};
    bool sRGB = false;
    bool antiAliasing = false;
    KxFilter* postProcFilter = nullptr;
    bool postProc = true;
};

KxPipeline::KxPipeline() : pipelineReserved(new Private)
{
    setType(TYPE_PIPELINE);
}

KxPipeline::~KxPipeline()
{
    if (state && state->current == this)
        state->current = nullptr;
    delete pipelineReserved;
}

bool KxPipeline::load(void*)
{
    return true;
}

bool KxPipeline::unload(void*)
{
    return true;
}

bool KxPipeline::render(KxCamera*, KxList*, KxFbo*)
{
    return true;
}

bool KxPipeline::resize(int, int)
{
    return true;
}

void KxPipeline::init()
{
    if (state)
    {
        KX_LOG(LEVEL_ERROR, "Static class already initialized");
        return;
    }
    state = new PipelineState;
}

void KxPipeline::free()
{
    if (!state)
    {
        KX_LOG(LEVEL_DETAIL, "Redundant free");
        return;
    }
    delete state;
    state = nullptr;
}

bool KxPipeline::setCurrent(KxPipeline* pipeline)
{
    if (!state)
        return KX_LOG(LEVEL_ERROR, "Not initialized");
    state->current = pipeline;
    return true;
}

KxPipeline* KxPipeline::getCurrent()
{
    return state ? state->current : nullptr;
}

void kx::setMapVariant(const KxShader* program, MaterialMaps::Use maps, KxShader* variant)
{
    if (!state || !program)
        return;
    auto& known = state->mapVariants;
    known.erase(std::remove_if(known.begin(), known.end(),
                               [&](const PipelineState::MapVariant& v) { return v.program == program && v.maps == maps; }),
                known.end());
    if (variant)
        known.push_back({program, maps, variant});
}

KxShader* kx::mapVariantOf(const KxShader* program, MaterialMaps::Use maps)
{
    if (!state || !program || !state->mapVariantsEnabled)
        return nullptr;
    for (const PipelineState::MapVariant& v : state->mapVariants)
        if (v.program == program && v.maps == maps)
            return v.variant;
    return nullptr;
}

void kx::setMapVariantsEnabled(bool enabled)
{
    if (state)
        state->mapVariantsEnabled = enabled;
}

bool KxPipeline::setShader(KxShader* shader, KxObject::Type type, int subtype, int flags)
{
    if (!inRange(type, subtype, flags))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    if (flags == FLAGS_ALONE)
    {
        for (int slot = 0; slot < NR_OF_FLAGS; ++slot)
            pipelineReserved->shaders[tableIndex(type, subtype, slot)] = shader;
    }
    else
        pipelineReserved->shaders[tableIndex(type, subtype, flags)] = shader;
    return true;
}

KxShader* KxPipeline::getShader(KxObject::Type type, int subtype, int flags) const
{
    if (!inRange(type, subtype, flags))
    {
        KX_LOG(LEVEL_ERROR, "Invalid params");
        return nullptr;
    }
    return pipelineReserved->shaders[tableIndex(type, subtype, flags)];
}

void KxPipeline::resetShaders()
{
    for (KxShader*& shader : pipelineReserved->shaders)
        shader = nullptr;
}

bool KxPipeline::renderShaderForType(KxObject::Type type, int subtype, int flags)
{
    if (!inRange(type, subtype, flags))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxShader* shader = pipelineReserved->shaders[tableIndex(type, subtype, flags)];
    if (!shader)
        return KX_LOG(LEVEL_ERROR, "No shader specified for object type %d in pipeline %s", type, getName().c_str());
    return shader->render(nullptr);
}

bool KxPipeline::setPostProcFilter(KxFilter* filter)
{
    pipelineReserved->postProcFilter = filter;
    return true;
}

KxFilter* KxPipeline::getPostProcFilter() const
{
    return pipelineReserved->postProcFilter;
}

void KxPipeline::postProc(bool on)
{
    pipelineReserved->postProc = on;
}

bool KxPipeline::isPostProc() const
{
    return pipelineReserved->postProc;
}

void KxPipeline::setAntiAliasing(bool on)
{
    pipelineReserved->antiAliasing = on;
}

bool KxPipeline::isAntiAliasing() const
{
    return pipelineReserved->antiAliasing;
}

void KxPipeline::sRGB(bool on)
{
    pipelineReserved->sRGB = on;
}

bool KxPipeline::isSRGB() const
{
    return pipelineReserved->sRGB;
}
