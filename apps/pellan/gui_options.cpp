#include "gui_options.h"

namespace pellan::gui {

GuiCommandLine::GuiCommandLine()
    : m_deviceRoot(QStringLiteral("device-root"),
                   QStringLiteral("Ports DIR/COM<N>, registry DIR/registry.reg, drives "
                                  "DIR/<letter>: the machine a simulated stick plays."),
                   QStringLiteral("DIR")),
      m_fast(QStringLiteral("fast"),
             QStringLiteral("Fixed waits of 100 ms or more last a hundredth (simulated sticks).")),
      m_factory(QStringLiteral("factory"),
                QStringLiteral("Show the factory view (all eight lines) at start.")),
      m_language(QStringLiteral("lang"),
                 QStringLiteral("The interface's language: en (English, the default) or zh "
                                "(Chinese)."),
                 QStringLiteral("en|zh"), QStringLiteral("en")),
      m_help(m_parser.addHelpOption()),
      m_version(m_parser.addVersionOption()) {
    m_parser.setApplicationDescription(QStringLiteral("The HX402A firmware updater."));
    m_parser.addOptions({m_deviceRoot, m_fast, m_factory, m_language});
}

GuiCommandLine::Outcome GuiCommandLine::Parse(const QStringList& arguments) {
    m_options = {};
    m_error.clear();
    if (!m_parser.parse(arguments)) {
        m_error = m_parser.errorText();
        return Outcome::USAGE_ERROR;
    }
    if (m_parser.isSet(m_help)) {
        return Outcome::HELP;
    }
    if (m_parser.isSet(m_version)) {
        return Outcome::VERSION;
    }
    if (!m_parser.positionalArguments().isEmpty()) {
        m_error =
            QStringLiteral("Unexpected argument '%1'.").arg(m_parser.positionalArguments()[0]);
        return Outcome::USAGE_ERROR;
    }
    m_options.deviceRoot = m_parser.value(m_deviceRoot);
    if (m_parser.isSet(m_deviceRoot) && m_options.deviceRoot.isEmpty()) {
        m_error = QStringLiteral("--device-root needs a folder.");
        return Outcome::USAGE_ERROR;
    }
    m_options.fast = m_parser.isSet(m_fast);
    m_options.factory = m_parser.isSet(m_factory);
    const QString language = m_parser.value(m_language);
    if (language == QLatin1String("zh")) {
        m_options.language = UiLanguage::CHINESE;
    } else if (language != QLatin1String("en")) {
        m_error = QStringLiteral("--lang takes en or zh, not '%1'.").arg(language);
        return Outcome::USAGE_ERROR;
    }
    return Outcome::RUN;
}

}  // namespace pellan::gui
