// KxConfig: start-up settings, and their XML file.
#include "kalvex_internal.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include <tinyxml2.h>

namespace
{
const char* const DEFAULT_TITLE = "Kalvex 3D Graphics Engine v0.7r";
const int DEFAULT_SIZE_X = 640;
const int DEFAULT_SIZE_Y = 480;
const int DEFAULT_SHADOW_MAP_SIZE = 1024;
const int DEFAULT_AA_SAMPLES = 4;
// Larger values than these would only make the GL allocations fail later.
const int MAX_WINDOW_SIZE = 16384;
const int MAX_SHADOW_MAP_SIZE = 16384;
const int DEFAULT_ANISOTROPY = 16;
const int DEFAULT_SHADOW_FILTER = 20;
// What the software preset uses: on a software rasteriser every shadow tap and
// every anisotropic sample is paid for per pixel on the CPU.
const int SOFTWARE_SHADOW_FILTER = 4;
const int SOFTWARE_ANISOTROPY = 1;
const int SOFTWARE_SHADOW_MAP_SIZE = 512;

// Settings given explicitly, which presets leave alone.
enum Explicit : unsigned int
{
    EXPLICIT_SHADOW_MAP_SIZE = 1,
    EXPLICIT_ANISOTROPY = 2,
    EXPLICIT_SHADOW_FILTER = 4,
};

bool validFilter(int taps)
{
    return taps == 1 || taps == 4 || taps == 20;
}
}

struct KxConfig::Private
{
    std::string windowTitle = DEFAULT_TITLE;
    int windowSizeX = DEFAULT_SIZE_X;
    int windowSizeY = DEFAULT_SIZE_Y;
    int colorDepth = 32;
    int zetaDepth = 24;
    int stencilDepth = 0;
    int shadowMapSize = DEFAULT_SHADOW_MAP_SIZE;
    int displayId = -1;
    int nrOfAASamples = DEFAULT_AA_SAMPLES;
    bool fullscreen = false;
    float physWorldScale = 1.0f;
    int anisotropy = DEFAULT_ANISOTROPY;
    int shadowFilter = DEFAULT_SHADOW_FILTER;
    int preset = PRESET_AUTO;
    unsigned int explicitSettings = 0;
};

KxConfig::KxConfig() : reserved(new Private) {}

KxConfig::~KxConfig()
{
    delete reserved;
}

KxConfig::KxConfig(const KxConfig& other) : reserved(new Private(*other.reserved)) {}

KxConfig& KxConfig::operator=(const KxConfig& other)
{
    if (this != &other)
        *reserved = *other.reserved;
    return *this;
}

void KxConfig::setWindowTitle(const std::string& title)
{
    if (title.empty() || title.size() >= 256)
        return;
    reserved->windowTitle = title;
}

const std::string& KxConfig::getWindowTitle() const { return reserved->windowTitle; }

void KxConfig::setWindowSizeX(int sizeX) { reserved->windowSizeX = sizeX < 0 ? DEFAULT_SIZE_X : sizeX; }
int KxConfig::getWindowSizeX() const { return reserved->windowSizeX; }
void KxConfig::setWindowSizeY(int sizeY) { reserved->windowSizeY = sizeY < 0 ? DEFAULT_SIZE_Y : sizeY; }
int KxConfig::getWindowSizeY() const { return reserved->windowSizeY; }
void KxConfig::setShadowMapSize(int size)
{
    reserved->shadowMapSize = size < 0 ? DEFAULT_SHADOW_MAP_SIZE : size;
    reserved->explicitSettings |= EXPLICIT_SHADOW_MAP_SIZE;
}
int KxConfig::getShadowMapSize() const { return reserved->shadowMapSize; }
void KxConfig::setDisplay(int displayId) { reserved->displayId = displayId; }
int KxConfig::getDisplay() const { return reserved->displayId; }
void KxConfig::setFullscreen(bool fullscreen) { reserved->fullscreen = fullscreen; }
bool KxConfig::isFullscreen() const { return reserved->fullscreen; }
void KxConfig::setNrOfAASamples(int samples) { reserved->nrOfAASamples = samples < 0 ? DEFAULT_AA_SAMPLES : samples; }
int KxConfig::getNrOfAASamples() const { return reserved->nrOfAASamples; }
void KxConfig::setPhysWorldScale(float scale) { reserved->physWorldScale = scale; }
float KxConfig::getPhysWorldScale() const { return reserved->physWorldScale; }
int KxConfig::getColorDepth() const { return reserved->colorDepth; }
int KxConfig::getZetaDepth() const { return reserved->zetaDepth; }
int KxConfig::getStencilDepth() const { return reserved->stencilDepth; }

void KxConfig::setAnisotropy(int anisotropy)
{
    reserved->anisotropy = anisotropy < 1 ? 1 : (anisotropy > DEFAULT_ANISOTROPY ? DEFAULT_ANISOTROPY : anisotropy);
    reserved->explicitSettings |= EXPLICIT_ANISOTROPY;
}

int KxConfig::getAnisotropy() const { return reserved->anisotropy; }

void KxConfig::setShadowFilter(int taps)
{
    if (!validFilter(taps))
        return;
    reserved->shadowFilter = taps;
    reserved->explicitSettings |= EXPLICIT_SHADOW_FILTER;
}

int KxConfig::getShadowFilter() const { return reserved->shadowFilter; }

void KxConfig::setPreset(int preset)
{
    if (preset >= PRESET_AUTO && preset <= PRESET_SOFTWARE)
        reserved->preset = preset;
}

int KxConfig::getPreset() const { return reserved->preset; }

void KxConfig::applySoftwarePreset()
{
    Private& d = *reserved;
    if (!(d.explicitSettings & EXPLICIT_SHADOW_FILTER))
        d.shadowFilter = SOFTWARE_SHADOW_FILTER;
    if (!(d.explicitSettings & EXPLICIT_ANISOTROPY))
        d.anisotropy = SOFTWARE_ANISOTROPY;
    if (!(d.explicitSettings & EXPLICIT_SHADOW_MAP_SIZE))
        d.shadowMapSize = SOFTWARE_SHADOW_MAP_SIZE;
}

namespace
{
const char* elementText(const tinyxml2::XMLElement* root, const char* key)
{
    const tinyxml2::XMLElement* element = root->FirstChildElement(key);
    return element ? element->GetText() : nullptr;
}

// Decimal conversion of the leading digits, 0 when there are none, clamped
// to the int range instead of overflowing.
int leadingInt(const char* text)
{
    long long value = std::strtoll(text, nullptr, 10);
    if (value > 0x7fffffffLL)
        return 0x7fffffff;
    if (value < -0x7fffffffLL - 1)
        return -0x7fffffff - 1;
    return static_cast<int>(value);
}

bool sizeMakesSense(int value, int maximum)
{
    return value > 0 && value <= maximum;
}
}

bool KxConfig::load(const std::string& fileName)
{
    if (fileName.empty())
        return KX_LOG(LEVEL_ERROR, "Invalid params");

    const char* why = nullptr;
    FILE* file = kx::InputFile::open(fileName.c_str(), why);
    if (!file)
        return KX_LOG(LEVEL_ERROR, "Unable to open config file '%s' (%s)", fileName.c_str(), why);

    tinyxml2::XMLDocument document;
    tinyxml2::XMLError result = document.LoadFile(file);
    std::fclose(file);
    if (result != tinyxml2::XML_SUCCESS)
        return KX_LOG(LEVEL_ERROR, "Error loading config file '%s'", fileName.c_str());

    const tinyxml2::XMLElement* root = nullptr;
    for (const tinyxml2::XMLNode* node = document.FirstChild(); node && !root; node = node->NextSibling())
    {
        const tinyxml2::XMLElement* element = node->ToElement();
        if (element && std::string(element->Name()) == "kalvex")
            root = element;
    }
    if (!root)
        return KX_LOG(LEVEL_ERROR, "Main 'kalvex' section not found");

    // Values are read into a copy and checked for sense before they replace the current ones.
    Private loaded = *reserved;
    if (const char* text = elementText(root, "windowtitle"))
        loaded.windowTitle = text;
    if (const char* text = elementText(root, "windowsizex"))
        loaded.windowSizeX = leadingInt(text);
    if (const char* text = elementText(root, "windowsizey"))
        loaded.windowSizeY = leadingInt(text);
    if (const char* text = elementText(root, "shadowmapsize"))
        loaded.shadowMapSize = leadingInt(text);
    if (const char* text = elementText(root, "displayid"))
        loaded.displayId = leadingInt(text);
    if (const char* text = elementText(root, "fullscreenflag"))
        loaded.fullscreen = leadingInt(text) != 0;
    if (const char* text = elementText(root, "physworldscale"))
        loaded.physWorldScale = std::strtof(text, nullptr);
    if (const char* text = elementText(root, "nrofaasamples"))
        loaded.nrOfAASamples = leadingInt(text);
    if (const char* text = elementText(root, "anisotropy"))
        loaded.anisotropy = leadingInt(text);
    if (const char* text = elementText(root, "shadowfilter"))
        loaded.shadowFilter = leadingInt(text);
    if (const char* text = elementText(root, "preset"))
        loaded.preset = leadingInt(text);
    // A value in the file is an explicit choice, which the preset leaves alone.
    const std::pair<const char*, unsigned int> marks[] = {{"shadowmapsize", EXPLICIT_SHADOW_MAP_SIZE},
                                                          {"anisotropy", EXPLICIT_ANISOTROPY},
                                                          {"shadowfilter", EXPLICIT_SHADOW_FILTER}};
    for (const auto& mark : marks)
        if (elementText(root, mark.first))
            loaded.explicitSettings |= mark.second;

    if (loaded.windowTitle.size() >= 256)
    {
        KX_LOG(LEVEL_WARNING, "Config value %s too long, keeping '%s'", "windowtitle", reserved->windowTitle.c_str());
        loaded.windowTitle = reserved->windowTitle;
    }
    struct SizeSetting
    {
        const char* key;
        int& value;
        int fallback;
        int maximum;
    };
    SizeSetting sizes[] = {
        {"windowsizex", loaded.windowSizeX, DEFAULT_SIZE_X, MAX_WINDOW_SIZE},
        {"windowsizey", loaded.windowSizeY, DEFAULT_SIZE_Y, MAX_WINDOW_SIZE},
        {"shadowmapsize", loaded.shadowMapSize, DEFAULT_SHADOW_MAP_SIZE, MAX_SHADOW_MAP_SIZE},
    };
    for (SizeSetting& size : sizes)
    {
        if (!sizeMakesSense(size.value, size.maximum))
        {
            KX_LOG(LEVEL_WARNING, "Config value %s = %d out of range, using %d", size.key, size.value, size.fallback);
            size.value = size.fallback;
        }
    }
    if (loaded.nrOfAASamples < 0)
    {
        KX_LOG(LEVEL_WARNING, "Config value %s = %d out of range, using %d", "nrofaasamples", loaded.nrOfAASamples, DEFAULT_AA_SAMPLES);
        loaded.nrOfAASamples = DEFAULT_AA_SAMPLES;
    }
    if (loaded.displayId < -1)
    {
        KX_LOG(LEVEL_WARNING, "Config value %s = %d out of range, using %d", "displayid", loaded.displayId, -1);
        loaded.displayId = -1;
    }
    if (!(loaded.physWorldScale > 0.0f) || loaded.physWorldScale > 1.0e6f)
    {
        KX_LOG(LEVEL_WARNING, "Config value %s = %f out of range, using %.2f", "physworldscale", loaded.physWorldScale, 1.0);
        loaded.physWorldScale = 1.0f;
    }
    if (loaded.anisotropy < 1 || loaded.anisotropy > DEFAULT_ANISOTROPY)
    {
        KX_LOG(LEVEL_WARNING, "Config value %s = %d out of range, using %d", "anisotropy", loaded.anisotropy, reserved->anisotropy);
        loaded.anisotropy = reserved->anisotropy;
    }
    if (!validFilter(loaded.shadowFilter))
    {
        KX_LOG(LEVEL_WARNING, "Config value %s = %d out of range, using %d", "shadowfilter", loaded.shadowFilter,
               reserved->shadowFilter);
        loaded.shadowFilter = reserved->shadowFilter;
    }
    if (loaded.preset < PRESET_AUTO || loaded.preset > PRESET_SOFTWARE)
    {
        KX_LOG(LEVEL_WARNING, "Config value %s = %d out of range, using %d", "preset", loaded.preset, reserved->preset);
        loaded.preset = reserved->preset;
    }
    *reserved = loaded;

    KX_LOG(LEVEL_PLAIN, "   Config loaded:");
    KX_LOG(LEVEL_PLAIN, "      window title  . . :  %s", reserved->windowTitle.c_str());
    KX_LOG(LEVEL_PLAIN, "      window size x . . :  %d", reserved->windowSizeX);
    KX_LOG(LEVEL_PLAIN, "      window size y . . :  %d", reserved->windowSizeY);
    KX_LOG(LEVEL_PLAIN, "      shadowmap size  . :  %d", reserved->shadowMapSize);
    KX_LOG(LEVEL_PLAIN, "      display ID  . . . :  %d", reserved->displayId);
    KX_LOG(LEVEL_PLAIN, "      fullscreen flag . :  %d", reserved->fullscreen ? 1 : 0);
    KX_LOG(LEVEL_PLAIN, "      phys. world scale :  %.2f", reserved->physWorldScale);
    KX_LOG(LEVEL_PLAIN, "      MSAA samples  . . :  %d", reserved->nrOfAASamples);
    return true;
}
