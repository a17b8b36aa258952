// KxFilter: the base of the screen-space effects.
#include "kalvex_internal.h"

struct KxFilter::Private
{
};

KxFilter::KxFilter() : filterReserved(new Private)
{
    setType(TYPE_FILTER);
    setSubtype(KIND_FILTER);
}

KxFilter::~KxFilter()
{
    delete filterReserved;
}

bool KxFilter::render(void* data)
{
    KX_LOG(LEVEL_DEBUG_FRAME, "Render for filter %d invoked", getId());
    if (!data)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    KxStats::inc(KxStats::FILTER_RENDER);
    return true;
}

bool KxFilter::resize(int sizeX, int sizeY)
{
    if (sizeX <= 0 || sizeY <= 0)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    return create(sizeX, sizeY);
}
