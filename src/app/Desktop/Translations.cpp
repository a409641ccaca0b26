#include "Desktop/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace {
// The engine speaks no Qt: its words (audiofile::reasonFor, the export's
// destinationReason and the format table's kind names) are listed here for
// the translators, and looked up as they come.
[[maybe_unused]] constexpr const char* kEngineWords[] = {
    QT_TRANSLATE_NOOP("EngineWords", "no such folder"),
    QT_TRANSLATE_NOOP("EngineWords", "permission denied"),
    QT_TRANSLATE_NOOP("EngineWords", "not a regular file"),
    QT_TRANSLATE_NOOP("EngineWords", "the disk is full"),
    QT_TRANSLATE_NOOP("EngineWords", "format not supported"),
    QT_TRANSLATE_NOOP("EngineWords", "name too long"),
    QT_TRANSLATE_NOOP("EngineWords", "path too long"),
    QT_TRANSLATE_NOOP("EngineWords",
        "its hidden file was replaced by another program while it was written; nothing was put in place"),
    QT_TRANSLATE_NOOP("EngineWords", "the folder belongs to another user"),
    QT_TRANSLATE_NOOP("EngineWords", "stopped before any audio arrived; no file was kept"),
    QT_TRANSLATE_NOOP("EngineWords", "cancelled; no file was kept"),
    QT_TRANSLATE_NOOP("EngineWords", "write-protected"),
    QT_TRANSLATE_NOOP("EngineWords", "MPEG-4 audio"),
    QT_TRANSLATE_NOOP("EngineWords", "WAVE audio"),
    QT_TRANSLATE_NOOP("EngineWords", "Core Audio Format"),
    QT_TRANSLATE_NOOP("EngineWords", "FLAC audio"),
    QT_TRANSLATE_NOOP("EngineWords", "Opus audio"),
    QT_TRANSLATE_NOOP("EngineWords", "Ogg Vorbis audio"),
    QT_TRANSLATE_NOOP("EngineWords", "MP3 audio"),
};
}  // namespace

Translations::Translations(const QLocale& locale)
{
    // QTranslator::load(QLocale) would skip a leading English it has no file
    // for and load the next language listed; the user asked for English first.
    for (const QString& name : locale.uiLanguages()) {
        const QLocale language(name);
        if (language.language() == QLocale::English || language.language() == QLocale::C)
            return;
        if (!own_.load(language, QStringLiteral("traytape"), QStringLiteral("_"), QStringLiteral(":/i18n")))
            continue;
        QCoreApplication::installTranslator(&own_);
        language_ = own_.language();
        // Qt's own texts in the same language, when the system has them.
        if (qt_.load(language, QStringLiteral("qtbase"), QStringLiteral("_"),
                QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&qt_);
        return;
    }
}

Translations::~Translations()
{
    // Removing a translator that was never installed does nothing.
    QCoreApplication::removeTranslator(&qt_);
    QCoreApplication::removeTranslator(&own_);
}

QString engineWords(const std::string& words)
{
    return QCoreApplication::translate("EngineWords", words.c_str());
}
