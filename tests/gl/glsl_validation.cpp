// Every built-in stage compiles with the reference compiler in both texture
// addressing modes, so the bindless path stays valid where no driver runs it.
#include "kxscene.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

namespace
{
const char* const STAGE_MACROS[] = {"", "#define KX_VERTEX_SHADER\n", "#define KX_TESSCTRL_SHADER\n",
                                    "#define KX_TESSEVAL_SHADER\n", "#define KX_GEOMETRY_SHADER\n",
                                    "#define KX_FRAGMENT_SHADER\n", "#define KX_COMPUTE_SHADER\n"};
const char* const EXTENSIONS[] = {"", "vert", "tesc", "tese", "geom", "frag", "comp"};

std::string run(const std::string& command, int& status)
{
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
    {
        status = -1;
        return output;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe))
        output += buffer;
    status = pclose(pipe);
    return output;
}
}

TEST(GlslValidation, BuiltInStagesCompileInBothModes)
{
    int status = 0;
    run("glslangValidator --version", status);
    ASSERT_EQ(status, 0) << "glslangValidator (Debian package glslang-tools) is needed";

    KxConfig config;
    config.setWindowSizeX(64);
    config.setWindowSizeY(64);
    ASSERT_TRUE(Kalvex::init(config, true));
    // Load every built-in pipeline, also those the reduced start leaves unloaded.
    for (int id = 1; id <= 4; ++id)
    {
        if (KxPipeline* pipeline = Kalvex::getPipeline(id))
        {
            EXPECT_TRUE(pipeline->load(nullptr)) << "pipeline " << id;
        }
    }

    // Filters no pipeline owns.
    KxGaussian* gaussian = new KxGaussian;
    EXPECT_TRUE(gaussian->create(64, 64));

    // The reloaded pipelines draw: a frame with a point and a spot light, and
    // materials with and without maps (every lit program variant in use).
    KxCamera* camera = new KxCamera;
    camera->setSubtype(KxCamera::PROJECTION_PERSPECTIVE);
    KxNode* root = new KxNode;
    KxTexture* map = new KxTexture;
    EXPECT_TRUE(map->create(4, 1, 1, 0, 1, 1));
    KxMaterial* mapped = new KxMaterial;
    EXPECT_TRUE(mapped->setTexture(map, KxMaterial::SLOT_ALBEDO));
    for (int i = 0; i < 2; ++i)
    {
        KxMesh* sphere = kxscene::makeSphere(6, 8);
        sphere->setTranslation(i - 0.5f, 0.0f, -4.0f);
        sphere->setMaterial(i ? mapped : nullptr);
        sphere->link(root);
        KxLight* light = new KxLight;
        light->setTranslation(0.0f, 1.0f, -2.0f);
        light->setSpotExponent(static_cast<float>(i));
        light->setCastShadows(i == 1);
        light->link(root);
    }
    KxList* list = new KxList;
    ASSERT_TRUE(list->create(16));
    ASSERT_TRUE(list->pass(root));
    EXPECT_TRUE(Kalvex::render(camera, list, nullptr));

    std::set<uint32_t> seen;
    int checked = 0;
    for (KxObject* object = KxObject::getFirst(); object; object = object->getNext())
    {
        if (object->getType() != KxObject::TYPE_SHADER)
            continue;
        KxShader* shader = static_cast<KxShader*>(object);
        int kind = shader->getSubtype();
        if (kind < KxShader::KIND_VERTEX || kind > KxShader::KIND_COMPUTE || !shader->getSource())
            continue;
        if (!seen.insert(shader->getHash()).second)
            continue;
        for (bool bindless : {true, false})
        {
            std::string path = "stage_" + std::to_string(checked) + (bindless ? "_bindless." : "_bound.") + EXTENSIONS[kind];
            std::ofstream file(path);
            file << KxShader::getHeader(bindless) << STAGE_MACROS[kind] << shader->getSource();
            file.close();
            std::string output = run("glslangValidator " + path, status);
            EXPECT_EQ(status, 0) << path << ":\n" << output;
        }
        ++checked;
    }
    EXPECT_GE(checked, 2); // at least the screen quad's two stages
    ASSERT_TRUE(Kalvex::free());
}
