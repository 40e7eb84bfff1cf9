#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

namespace pellan::gui {

enum class UiLanguage { ENGLISH, CHINESE };

struct GuiOptions {
    QString deviceRoot;    // --device-root DIR: the machine a simulated stick plays
    bool fast = false;     // --fast: fixed waits of 100 ms or more last a hundredth
    bool factory = false;  // --factory: show the factory view at start
    UiLanguage language = UiLanguage::ENGLISH;  // --lang en|zh
};

// The program's own command line; Qt's options (-platform and the like) are taken out by
// QApplication before. --help and --version are the library's.
class GuiCommandLine {
  public:
    enum class Outcome { RUN, HELP, VERSION, USAGE_ERROR };

    GuiCommandLine();
    // `arguments` begins with the program's name, as QCoreApplication::arguments() does.
    Outcome Parse(const QStringList& arguments);
    const GuiOptions& Options() const { return m_options; }
    // What is wrong with the command line, after USAGE_ERROR.
    const QString& Error() const { return m_error; }
    QString HelpText() const { return m_parser.helpText(); }
    [[noreturn]] void ShowHelp() { m_parser.showHelp(0); }
    [[noreturn]] void ShowVersion() { m_parser.showVersion(); }

  private:
    QCommandLineParser m_parser;
    QCommandLineOption m_deviceRoot;
    QCommandLineOption m_fast;
    QCommandLineOption m_factory;
    QCommandLineOption m_language;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    GuiOptions m_options;
    QString m_error;
};

}  // namespace pellan::gui
