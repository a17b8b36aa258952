// KxMultiscreen: generalised perspective projections for display walls.
#include "kalvex_internal.h"

#include <cmath>
#include <vector>

namespace
{
// Corners closer than this (in tracking-space units) make no display, and an
// eye closer than this to a display's plane sees no picture through it.
const float MIN_EXTENT = 1e-6f;

struct Display
{
    glm::vec3 pa; // bottom left
    glm::vec3 pb; // bottom right
    glm::vec3 pc; // top left
};
}

struct KxMultiscreen::Private
{
    glm::vec3 eye = glm::vec3(0.0f);
    std::vector<Display> displays;
};

KxMultiscreen::KxMultiscreen() : reserved(new Private)
{
    KX_LOG(LEVEL_DEBUG, "[+] multiscreen");
}

KxMultiscreen::~KxMultiscreen()
{
    delete reserved;
    KX_LOG(LEVEL_DEBUG, "[-] multiscreen");
}

bool KxMultiscreen::addDisplay(const glm::vec3& bottomLeft, const glm::vec3& bottomRight, const glm::vec3& topLeft)
{
    // Coincident or collinear corners would give a matrix of NaNs.
    glm::vec3 right = bottomRight - bottomLeft, up = topLeft - bottomLeft;
    float area = glm::length(glm::cross(right, up));
    if (!(area > MIN_EXTENT * glm::length(right) * glm::length(up)) || !std::isfinite(area))
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    reserved->displays.push_back({bottomLeft, bottomRight, topLeft});
    return true;
}

int KxMultiscreen::getNrOfDisplays() const
{
    return static_cast<int>(reserved->displays.size());
}

void KxMultiscreen::reset()
{
    reserved->displays.clear();
}

void KxMultiscreen::setEyePosition(const glm::vec3& eye)
{
    reserved->eye = eye;
}

void KxMultiscreen::setEyePosition(float x, float y, float z)
{
    reserved->eye = glm::vec3(x, y, z);
}

const glm::vec3& KxMultiscreen::getEyePosition() const
{
    return reserved->eye;
}

bool KxMultiscreen::update(int display, KxCamera* camera)
{
    if (display < 0 || display >= getNrOfDisplays() || !camera)
        return KX_LOG(LEVEL_ERROR, "Invalid params");
    const Display& screen = reserved->displays[static_cast<size_t>(display)];
    const glm::vec3& pe = reserved->eye;

    // The display's own axes.
    glm::vec3 vr = glm::normalize(screen.pb - screen.pa);
    glm::vec3 vu = glm::normalize(screen.pc - screen.pa);
    glm::vec3 vn = glm::normalize(glm::cross(vr, vu));

    // Corners from the eye, and the eye's distance to the display's plane.
    glm::vec3 va = screen.pa - pe, vb = screen.pb - pe, vc = screen.pc - pe;
    float d = -glm::dot(vn, va);
    if (!(d > MIN_EXTENT))
        return KX_LOG(LEVEL_ERROR, "Eye is not in front of display %d", display);

    // Frustum extents on the near plane.
    float n = camera->getNearPlane(), f = camera->getFarPlane();
    float l = glm::dot(vr, va) * n / d, r = glm::dot(vr, vb) * n / d;
    float b = glm::dot(vu, va) * n / d, t = glm::dot(vu, vc) * n / d;

    glm::mat4 projection(0.0f);
    projection[0][0] = 2.0f * n / (r - l);
    projection[1][1] = 2.0f * n / (t - b);
    projection[2][0] = (r + l) / (r - l);
    projection[2][1] = (t + b) / (t - b);
    projection[2][2] = -(f + n) / (f - n);
    projection[2][3] = -1.0f;
    projection[3][2] = -2.0f * f * n / (f - n);

    // Rows vr, vu, vn: tracking-space directions into the display's frame.
    glm::mat4 rotation(1.0f);
    for (int column = 0; column < 3; ++column)
    {
        rotation[column][0] = vr[column];
        rotation[column][1] = vu[column];
        rotation[column][2] = vn[column];
    }
    glm::mat4 translation(1.0f);
    translation[3] = glm::vec4(-pe, 1.0f);

    camera->setProjMatrix(projection * rotation * translation);
    camera->setUseProjMatrix(true);
    return true;
}
