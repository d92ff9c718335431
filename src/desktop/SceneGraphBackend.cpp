#include "desktop/SceneGraphBackend.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>

namespace desktop {

namespace {

// Empty when OpenGL cannot be had at all.
QString openGLRenderer() {
    QOpenGLContext context;
    if (!context.create()) {
        return {};
    }
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!context.makeCurrent(&surface)) {
        return {};
    }
    const auto* name = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    const QString renderer = name ? QString::fromLatin1(name) : QString();
    context.doneCurrent();
    return renderer;
}

}  // namespace

bool isSoftwareRenderer(const QString& glRenderer) {
    for (const char* name : {"llvmpipe", "softpipe", "Software Rasterizer", "SWR"}) {
        if (glRenderer.contains(QLatin1String(name), Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

void chooseSceneGraphBackend() {
    if (qEnvironmentVariableIsSet("QT_QUICK_BACKEND") ||
        qEnvironmentVariableIsSet("QMLSCENE_DEVICE")) {
        return;
    }
    const QString renderer = openGLRenderer();
    if (renderer.isEmpty() || isSoftwareRenderer(renderer)) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }
}

}  // namespace desktop
