// Build-time tool that makes the application's binary resources from their
// sources in the repository:
//   render svg IN.svg OUT.png SCALE   an image at its own size times SCALE
//   render pdf IN.md OUT.pdf          a document typeset from Markdown
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSvgRenderer>
#include <QTextDocument>

#include <cstdio>

static int renderSvg(const QString& in, const QString& out, double scale)
{
    QSvgRenderer svg(in);
    if (!svg.isValid()) {
        std::fprintf(stderr, "render: cannot read %s\n", qPrintable(in));
        return 1;
    }
    const QSize size = (QSizeF(svg.defaultSize()) * scale).toSize();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter);
    }
    image.setDotsPerMeterX(int(image.dotsPerMeterX() * scale));
    image.setDotsPerMeterY(int(image.dotsPerMeterY() * scale));
    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "render: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

static int renderPdf(const QString& in, const QString& out)
{
    QFile source(in);
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "render: cannot read %s\n", qPrintable(in));
        return 1;
    }
    QTextDocument doc;
    doc.setDefaultStyleSheet(QStringLiteral("body { font-family: sans-serif; } h1 { color: #b0262e; }"));
    doc.setMarkdown(QString::fromUtf8(source.readAll()));
    QPdfWriter pdf(out);
    pdf.setTitle(doc.metaInformation(QTextDocument::DocumentTitle));
    pdf.setCreator(QStringLiteral("TrayTape"));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter);
    doc.print(&pdf);
    return QFile::exists(out) ? 0 : 1;
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == QLatin1String("svg"))
        return renderSvg(args[2], args[3], args[4].toDouble());
    if (args.size() == 4 && args[1] == QLatin1String("pdf"))
        return renderPdf(args[2], args[3]);
    std::fprintf(stderr, "usage: render svg IN.svg OUT.png SCALE | render pdf IN.md OUT.pdf\n");
    return 2;
}
