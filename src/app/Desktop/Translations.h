// The program's texts in the user's language: TrayTape's own translations,
// compiled into the program under :/i18n, and Qt's (the file dialogs'
// buttons and the like) from the system's Qt translations where they are
// installed. Made on the main thread once the application object exists;
// they stay installed for as long as the object lives.
#pragma once

#include <QLocale>
#include <QTranslator>

#include <string>

class Translations {
public:
    // The first of the locale's languages that TrayTape speaks wins; English,
    // the language the program is written in, is one of them, so a user who
    // lists English before German reads English.
    explicit Translations(const QLocale& locale = QLocale::system());
    ~Translations();
    Translations(const Translations&) = delete;
    Translations& operator=(const Translations&) = delete;

    // The language chosen, "en" when no translation was loaded.
    QString language() const { return language_; }

private:
    QTranslator own_;
    QTranslator qt_;
    QString language_ = QStringLiteral("en");
};

// The engine's few words on a file ("the disk is full") or a format ("WAVE
// audio"), in the user's language; the command line prints them as they are.
QString engineWords(const std::string& words);
