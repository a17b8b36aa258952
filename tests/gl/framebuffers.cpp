// Framebuffer objects: attachments, completeness, draw buffers and the bind cache.
#include "kxtest.h"

#include <GL/glew.h>

#include <vector>

namespace
{
GLint getInteger(GLenum name)
{
    GLint value = -1;
    glGetIntegerv(name, &value);
    return value;
}

GLint attachmentParameter(KxFbo* fbo, GLenum attachment, GLenum name)
{
    GLint value = -1;
    glGetNamedFramebufferAttachmentParameteriv(fbo->getHandle(), attachment, name, &value);
    return value;
}

KxTexture* makeTexture(int kind, unsigned int sizeX, unsigned int sizeY, unsigned int sizeZ = 0)
{
    KxTexture* texture = new KxTexture;
    EXPECT_TRUE(texture->create(kind, sizeX, sizeY, sizeZ)) << "kind " << kind;
    return texture;
}
}

class Framebuffers : public kxtest::EngineTest
{
protected:
    void SetUp() override
    {
        kxtest::EngineTest::SetUp();
        KxFbo::resetCache();
        while (glGetError() != GL_NO_ERROR)
        {
        }
    }
    void TearDown() override
    {
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        KxFbo::resetCache();
        kxtest::EngineTest::TearDown();
    }
};

TEST_F(Framebuffers, NewFramebufferIsAnEmptyObject)
{
    KxFbo* fbo = new KxFbo;
    EXPECT_EQ(fbo->getType(), KxObject::TYPE_FBO);
    EXPECT_EQ(fbo->getName(), "[Fbo" + std::to_string(fbo->getId()) + "]");
    EXPECT_NE(fbo->getHandle(), 0u);
    EXPECT_TRUE(glIsFramebuffer(fbo->getHandle()));
    EXPECT_EQ(fbo->getSizeX(), 0u);
    EXPECT_EQ(fbo->getSizeY(), 0u);
    EXPECT_EQ(fbo->getSizeZ(), 0u);
    for (unsigned int slot = 0; slot <= KxFbo::MAX_ATTACHMENTS; ++slot)
        EXPECT_EQ(fbo->getTexture(slot), nullptr);
    // Nothing attached: incomplete, with the driver's status in the message.
    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(fbo->isOk());
    EXPECT_EQ(kxtest::countLogLines("FBO not complete (error: 36055)", mark), 1); // GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT
    delete fbo;
}

TEST_F(Framebuffers, BadSlotsAndOperationsAreRefused)
{
    KxFbo* fbo = new KxFbo;
    KxTexture* color = makeTexture(4, 32, 16);
    KxTexture* other = makeTexture(4, 8, 8);
    ASSERT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));

    size_t mark = kxtest::readLog().size();
    EXPECT_FALSE(fbo->bindTexture(8, KxFbo::OP_COLOR_TEXTURE, other, 0));
    EXPECT_FALSE(fbo->bindRenderBuffer(8, KxFbo::OP_DEPTH_RENDERBUFFER, 8, 8));
    EXPECT_EQ(kxtest::countLogLines("Invalid params", mark), 2);

    mark = kxtest::readLog().size();
    EXPECT_FALSE(fbo->bindTexture(0, 12, other, 0));
    EXPECT_FALSE(fbo->bindTexture(0, KxFbo::OP_DEPTH_STENCIL_RENDERBUFFER, other, 0));
    EXPECT_FALSE(fbo->bindRenderBuffer(1, KxFbo::OP_COLOR_TEXTURE, 8, 8));
    EXPECT_EQ(kxtest::countLogLines("Invalid operation", mark), 3);
    EXPECT_EQ(kxtest::countLogLines("[!]", mark), 3); // error level

    // The failures left the earlier attachment alone.
    EXPECT_EQ(fbo->getTexture(0), color);
    EXPECT_EQ(fbo->getSizeX(), 32u);
    EXPECT_EQ(fbo->getSizeY(), 16u);
    EXPECT_EQ(attachmentParameter(fbo, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(color->getHandle()));

    // A null texture is accepted and attaches nothing.
    EXPECT_TRUE(fbo->bindTexture(1, KxFbo::OP_COLOR_TEXTURE, nullptr, 1));
    EXPECT_EQ(fbo->getTexture(1), nullptr);
    EXPECT_EQ(attachmentParameter(fbo, GL_COLOR_ATTACHMENT1, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_NONE);
    EXPECT_TRUE(fbo->isOk());
    delete fbo;
    delete color;
    delete other;
}

TEST_F(Framebuffers, ColourAndDepthTexturesAreComplete)
{
    KxFbo* fbo = new KxFbo;
    KxTexture* color = makeTexture(5, 64, 32);
    KxTexture* depth = makeTexture(8, 64, 32);
    EXPECT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    EXPECT_TRUE(fbo->bindTexture(1, KxFbo::OP_DEPTH_TEXTURE, depth));
    EXPECT_TRUE(fbo->isOk());
    EXPECT_EQ(fbo->getTexture(0), color);
    EXPECT_EQ(fbo->getTexture(1), depth);
    EXPECT_EQ(fbo->getSizeX(), 64u);
    EXPECT_EQ(fbo->getSizeY(), 32u);
    EXPECT_EQ(attachmentParameter(fbo, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(color->getHandle()));
    EXPECT_EQ(attachmentParameter(fbo, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(depth->getHandle()));
    // The depth attachment is not a draw buffer.
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER1), GL_NONE);
    delete fbo;
    delete color;
    delete depth;
}

TEST_F(Framebuffers, MultisampleTexturesAndRenderBuffersAreComplete)
{
    ASSERT_GT(Kalvex::getNrOfAASamples(), 1);
    KxTexture* color = makeTexture(22, 64, 64);
    KxTexture* depth = makeTexture(23, 64, 64);

    KxFbo* textures = new KxFbo;
    EXPECT_TRUE(textures->bindTexture(0, KxFbo::OP_COLOR_TEXTURE_MULTISAMPLE, color, 0));
    EXPECT_TRUE(textures->bindTexture(1, KxFbo::OP_DEPTH_TEXTURE_MULTISAMPLE, depth));
    EXPECT_TRUE(textures->isOk());
    EXPECT_EQ(attachmentParameter(textures, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(depth->getHandle()));

    // A multisample depth render buffer must match the texture's sample count.
    KxFbo* mixed = new KxFbo;
    EXPECT_TRUE(mixed->bindTexture(0, KxFbo::OP_COLOR_TEXTURE_MULTISAMPLE, color, 0));
    EXPECT_TRUE(mixed->bindRenderBuffer(1, KxFbo::OP_DEPTH_RENDERBUFFER_MULTISAMPLE, 64, 64));
    EXPECT_TRUE(mixed->isOk());
    EXPECT_EQ(attachmentParameter(mixed, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_RENDERBUFFER);
    GLint renderBuffer = attachmentParameter(mixed, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME);
    GLint samples = 0, format = 0;
    glGetNamedRenderbufferParameteriv(static_cast<GLuint>(renderBuffer), GL_RENDERBUFFER_SAMPLES, &samples);
    glGetNamedRenderbufferParameteriv(static_cast<GLuint>(renderBuffer), GL_RENDERBUFFER_INTERNAL_FORMAT, &format);
    EXPECT_GT(samples, 1);
    EXPECT_EQ(format, GL_DEPTH_COMPONENT32);
    delete textures;
    delete mixed;
    delete color;
    delete depth;
}

TEST_F(Framebuffers, DepthAndStencilRenderBuffers)
{
    KxTexture* color = makeTexture(4, 48, 24);
    KxFbo* fbo = new KxFbo;
    EXPECT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    EXPECT_TRUE(fbo->bindRenderBuffer(1, KxFbo::OP_DEPTH_RENDERBUFFER, 48, 24));
    EXPECT_TRUE(fbo->isOk());
    GLint depth = attachmentParameter(fbo, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME);
    GLint format = 0, samples = -1;
    glGetNamedRenderbufferParameteriv(static_cast<GLuint>(depth), GL_RENDERBUFFER_INTERNAL_FORMAT, &format);
    glGetNamedRenderbufferParameteriv(static_cast<GLuint>(depth), GL_RENDERBUFFER_SAMPLES, &samples);
    EXPECT_EQ(format, GL_DEPTH_COMPONENT32);
    EXPECT_EQ(samples, 0);

    // The packed depth-stencil buffer goes to the stencil attachment only (a
    // separate depth image beside it is a combination drivers may refuse).
    KxFbo* stencilFbo = new KxFbo;
    EXPECT_TRUE(stencilFbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    EXPECT_TRUE(stencilFbo->bindRenderBuffer(2, KxFbo::OP_DEPTH_STENCIL_RENDERBUFFER, 48, 24));
    EXPECT_TRUE(stencilFbo->isOk());
    EXPECT_EQ(attachmentParameter(stencilFbo, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE),
              GL_RENDERBUFFER);
    EXPECT_EQ(attachmentParameter(stencilFbo, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_NONE);
    GLint stencil = attachmentParameter(stencilFbo, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME);
    glGetNamedRenderbufferParameteriv(static_cast<GLuint>(stencil), GL_RENDERBUFFER_INTERNAL_FORMAT, &format);
    EXPECT_EQ(format, GL_DEPTH24_STENCIL8);
    delete stencilFbo;

    // Render buffers set the size too, but are not colour attachments.
    EXPECT_TRUE(fbo->bindRenderBuffer(1, KxFbo::OP_DEPTH_RENDERBUFFER, 40, 20));
    EXPECT_EQ(fbo->getSizeX(), 40u);
    EXPECT_EQ(fbo->getSizeY(), 20u);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER1), GL_NONE);
    delete fbo;
    delete color;
}

TEST_F(Framebuffers, LayeredAndLayerAttachments)
{
    // Cube-map shadow target: the whole depth cube, layered.
    KxTexture* cube = makeTexture(19, 64, 64);
    KxFbo* shadow = new KxFbo;
    EXPECT_TRUE(shadow->bindTexture(0, KxFbo::OP_DEPTH_TEXTURE_LAYERED, cube));
    EXPECT_TRUE(shadow->isOk());
    EXPECT_EQ(attachmentParameter(shadow, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_LAYERED), GL_TRUE);
    EXPECT_EQ(attachmentParameter(shadow, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(cube->getHandle()));
    EXPECT_EQ(shadow->getSizeX(), 64u);

    // One layer of an array, colour and depth, and one slice of a 3D texture.
    KxTexture* colorArray = makeTexture(12, 32, 32, 4);
    KxTexture* depthArray = makeTexture(15, 32, 32, 4);
    KxTexture* volume = makeTexture(9, 32, 32, 8);
    KxFbo* layers = new KxFbo;
    EXPECT_TRUE(layers->bindTexture(0, KxFbo::OP_COLOR_TEXTURE_LAYER, colorArray, 0, 2));
    EXPECT_TRUE(layers->bindTexture(1, KxFbo::OP_COLOR_TEXTURE_3D_LAYER, volume, 1, 5));
    EXPECT_TRUE(layers->bindTexture(2, KxFbo::OP_DEPTH_TEXTURE_LAYER, depthArray, 0, 3));
    EXPECT_TRUE(layers->isOk());
    EXPECT_EQ(attachmentParameter(layers, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LAYER), 2);
    EXPECT_EQ(attachmentParameter(layers, GL_COLOR_ATTACHMENT1, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LAYER), 5);
    EXPECT_EQ(attachmentParameter(layers, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LAYER), 3);
    EXPECT_EQ(attachmentParameter(layers, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_LAYERED), GL_FALSE);

    // The whole colour array, layered, with a layered depth array beside it.
    KxFbo* layered = new KxFbo;
    EXPECT_TRUE(layered->bindTexture(0, KxFbo::OP_COLOR_TEXTURE_LAYERED, colorArray, 0));
    EXPECT_TRUE(layered->bindTexture(1, KxFbo::OP_DEPTH_TEXTURE_LAYERED, depthArray));
    EXPECT_TRUE(layered->isOk());
    EXPECT_EQ(attachmentParameter(layered, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_LAYERED), GL_TRUE);
    delete shadow;
    delete layers;
    delete layered;
    delete cube;
    delete colorArray;
    delete depthArray;
    delete volume;
}

TEST_F(Framebuffers, DrawBuffersFollowSlotOrder)
{
    KxTexture* a = makeTexture(4, 16, 16);
    KxTexture* b = makeTexture(4, 16, 16);
    KxFbo* fbo = new KxFbo;
    EXPECT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, a, 0));
    EXPECT_TRUE(fbo->bindTexture(2, KxFbo::OP_COLOR_TEXTURE, b, 1));
    EXPECT_TRUE(fbo->isOk());
    KxFbo::resetCache();
    EXPECT_TRUE(fbo->render());
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER1), GL_COLOR_ATTACHMENT1);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER2), GL_NONE);

    // Slot order, not attachment-number order.
    KxFbo* swapped = new KxFbo;
    EXPECT_TRUE(swapped->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, a, 1));
    EXPECT_TRUE(swapped->bindTexture(2, KxFbo::OP_COLOR_TEXTURE, b, 0));
    KxFbo::resetCache();
    EXPECT_TRUE(swapped->render());
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT1);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER1), GL_COLOR_ATTACHMENT0);

    // Attaching while bound (a cached bind) still updates the draw buffers.
    KxFbo* growing = new KxFbo;
    EXPECT_TRUE(growing->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, a, 0));
    EXPECT_TRUE(growing->render());
    EXPECT_TRUE(growing->bindTexture(1, KxFbo::OP_COLOR_TEXTURE, b, 1));
    EXPECT_TRUE(growing->render());
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(getInteger(GL_DRAW_BUFFER1), GL_COLOR_ATTACHMENT1);
    delete fbo;
    delete swapped;
    delete growing;
    delete a;
    delete b;
}

TEST_F(Framebuffers, SecondBindIsCachedWithoutGlCalls)
{
    KxTexture* color = makeTexture(4, 16, 16);
    KxFbo* fbo = new KxFbo;
    EXPECT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    KxFbo::resetCache();
    EXPECT_EQ(KxFbo::getCurrent(), nullptr);

    uint64_t binds = KxStats::get(KxStats::FBO_BIND);
    uint64_t cached = KxStats::get(KxStats::FBO_CACHED);
    EXPECT_TRUE(fbo->render());
    EXPECT_EQ(KxFbo::getCurrent(), fbo);
    EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING), static_cast<GLint>(fbo->getHandle()));
    // Bind the window behind the cache's back: a cached bind must not notice.
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    EXPECT_TRUE(fbo->render());
    EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING), 0);
    EXPECT_EQ(KxStats::get(KxStats::FBO_BIND), binds + 1);
    EXPECT_EQ(KxStats::get(KxStats::FBO_CACHED), cached + 1);
    // Attaching still reaches this framebuffer, not the window's.
    KxTexture* second = makeTexture(4, 16, 16);
    EXPECT_TRUE(fbo->bindTexture(1, KxFbo::OP_COLOR_TEXTURE, second, 1));
    EXPECT_EQ(attachmentParameter(fbo, GL_COLOR_ATTACHMENT1, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(second->getHandle()));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_TRUE(fbo->isOk());

    // Another framebuffer takes the cache over; going back binds again.
    KxFbo* other = new KxFbo;
    EXPECT_TRUE(other->render());
    EXPECT_EQ(KxFbo::getCurrent(), other);
    EXPECT_TRUE(fbo->render());
    EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING), static_cast<GLint>(fbo->getHandle()));
    EXPECT_EQ(KxStats::get(KxStats::FBO_BIND), binds + 3);

    // Deleting the bound framebuffer empties the cache.
    delete fbo;
    EXPECT_EQ(KxFbo::getCurrent(), nullptr);
    delete other;
    delete color;
    delete second;
}

TEST_F(Framebuffers, BindSetsViewportToAttachmentSize)
{
    KxTexture* color = makeTexture(4, 72, 40);
    KxFbo* fbo = new KxFbo;
    EXPECT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    KxFbo::resetCache();
    glViewport(3, 4, 5, 6);
    EXPECT_TRUE(fbo->render());
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 0);
    EXPECT_EQ(viewport[1], 0);
    EXPECT_EQ(viewport[2], 72);
    EXPECT_EQ(viewport[3], 40);

    // Without colour attachments the viewport and draw buffers stay as they were.
    KxTexture* depth = makeTexture(8, 16, 16);
    KxFbo* depthOnly = new KxFbo;
    EXPECT_TRUE(depthOnly->bindTexture(0, KxFbo::OP_DEPTH_TEXTURE, depth));
    KxFbo::resetCache();
    glViewport(3, 4, 5, 6);
    EXPECT_TRUE(depthOnly->render());
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 5);
    EXPECT_EQ(viewport[3], 6);
    delete fbo;
    delete depthOnly;
    delete color;
    delete depth;
}

TEST_F(Framebuffers, ClearReachesTheColourTexture)
{
    const int sizeX = 16, sizeY = 8;
    KxTexture* color = makeTexture(4, sizeX, sizeY);
    KxFbo* fbo = new KxFbo;
    ASSERT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    ASSERT_TRUE(fbo->isOk());
    ASSERT_TRUE(fbo->render());
    glClearColor(0.25f, 0.5f, 0.75f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    const glm::vec4& background = KxOpenGL::getBackgroundColor();
    glClearColor(background.r, background.g, background.b, background.a);

    std::vector<unsigned char> pixels(sizeX * sizeY * 4, 0);
    glGetTextureImage(color->getHandle(), 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(pixels.size()),
                       pixels.data());
    int wrong = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        if (pixels[i] < 63 || pixels[i] > 65 || pixels[i + 1] < 127 || pixels[i + 1] > 128 || pixels[i + 2] < 191 ||
            pixels[i + 2] > 192 || pixels[i + 3] != 255)
            ++wrong;
    EXPECT_EQ(wrong, 0) << "first pixel " << int(pixels[0]) << " " << int(pixels[1]) << " " << int(pixels[2]);
    delete fbo;
    delete color;
}

TEST_F(Framebuffers, ResetCacheBindsTheWindow)
{
    KxFbo* fbo = new KxFbo;
    EXPECT_TRUE(fbo->render());
    EXPECT_NE(getInteger(GL_FRAMEBUFFER_BINDING), 0);
    KxFbo::resetCache();
    EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING), 0);
    EXPECT_EQ(KxFbo::getCurrent(), nullptr);
    // The next bind is a real one again.
    uint64_t binds = KxStats::get(KxStats::FBO_BIND);
    EXPECT_TRUE(fbo->render());
    EXPECT_EQ(KxStats::get(KxStats::FBO_BIND), binds + 1);
    EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING), static_cast<GLint>(fbo->getHandle()));
    delete fbo;
}

TEST_F(Framebuffers, DestructorDeletesRenderBuffersButNotTextures)
{
    KxTexture* color = makeTexture(4, 32, 32);
    KxFbo* fbo = new KxFbo;
    EXPECT_TRUE(fbo->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    EXPECT_TRUE(fbo->bindRenderBuffer(1, KxFbo::OP_DEPTH_RENDERBUFFER, 32, 32));
    GLuint first = static_cast<GLuint>(attachmentParameter(fbo, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME));
    ASSERT_TRUE(glIsRenderbuffer(first));
    // Replacing a slot's render buffer deletes the old one.
    EXPECT_TRUE(fbo->bindRenderBuffer(1, KxFbo::OP_DEPTH_RENDERBUFFER, 32, 32));
    GLuint second = static_cast<GLuint>(attachmentParameter(fbo, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME));
    EXPECT_NE(second, first);
    EXPECT_FALSE(glIsRenderbuffer(first));
    EXPECT_TRUE(glIsRenderbuffer(second));
    EXPECT_TRUE(fbo->bindRenderBuffer(2, KxFbo::OP_DEPTH_STENCIL_RENDERBUFFER, 32, 32));
    GLuint third = static_cast<GLuint>(
        attachmentParameter(fbo, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME));
    EXPECT_TRUE(glIsRenderbuffer(third));

    // A bad operation has already dropped the slot's old render buffer.
    EXPECT_TRUE(fbo->bindRenderBuffer(3, KxFbo::OP_DEPTH_RENDERBUFFER, 32, 32));
    GLuint dropped = static_cast<GLuint>(
        attachmentParameter(fbo, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME));
    EXPECT_FALSE(fbo->bindRenderBuffer(3, KxFbo::OP_COLOR_TEXTURE, 32, 32));
    EXPECT_FALSE(glIsRenderbuffer(dropped));

    GLuint framebuffer = fbo->getHandle();
    size_t mark = kxtest::readLog().size();
    delete fbo;
    EXPECT_FALSE(glIsFramebuffer(framebuffer));
    EXPECT_FALSE(glIsRenderbuffer(second));
    EXPECT_FALSE(glIsRenderbuffer(third));
    EXPECT_TRUE(glIsTexture(color->getHandle()));
    EXPECT_EQ(kxtest::countLogLines("[!]", mark), 0);

    // The texture is still usable in a new framebuffer.
    KxFbo* again = new KxFbo;
    EXPECT_TRUE(again->bindTexture(0, KxFbo::OP_COLOR_TEXTURE, color, 0));
    EXPECT_TRUE(again->isOk());
    delete again;
    delete color;
}
