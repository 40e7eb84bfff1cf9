// pellan: the desktop updater. The window of the same view and jobs that pellan-cli drives from
// the command line.
#include <QApplication>
#include <QFont>
#include <cstdio>
#include <mutex>

#include "gui_options.h"
#include "line/standard_jobs.h"
#include "main_frame.h"
#include "platform/program_folders.h"
#include "platform/system_env.h"
#include "qt_view_sink.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);  // takes Qt's own options out of argv
    QApplication::setApplicationName(QStringLiteral("pellan"));
    QApplication::setApplicationVersion(QStringLiteral(PELLAN_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    pellan::gui::GuiCommandLine commandLine;
    switch (commandLine.Parse(QApplication::arguments())) {
        case pellan::gui::GuiCommandLine::Outcome::HELP:
            commandLine.ShowHelp();
        case pellan::gui::GuiCommandLine::Outcome::VERSION:
            commandLine.ShowVersion();
        case pellan::gui::GuiCommandLine::Outcome::USAGE_ERROR:
            std::fprintf(stderr, "pellan: %s\nTry 'pellan --help' for more information.\n",
                         qPrintable(commandLine.Error()));
            return 2;
        case pellan::gui::GuiCommandLine::Outcome::RUN:
            break;
    }
    const pellan::gui::GuiOptions& options = commandLine.Options();

    pellan::platform::SystemEnv system(options.deviceRoot.toStdU16String(), options.fast);
    // An installed program keeps settings, NV backups and logs in the user's XDG folders.
    const pellan::platform::ProgramFolders folders =
        pellan::platform::SystemProgramFolders(pellan::platform::ProgramFileFolder());
    pellan::CPellanDoc doc(system.Get(), folders.config);
    pellan::gui::QtViewSink sink;
    pellan::CPellanView view(doc, sink);
    pellan::InstallStandardJobs(view);
    if (!folders.besideProgram) {
        pellan::LineController& controller = pellan::LineControllerOf(view);
        std::lock_guard<std::mutex> lock(controller.mutex);
        controller.logFolder = folders.state / "Logs";
    }
    int status = 0;
    {
        pellan::gui::CMainFrame frame(view, sink);
        frame.SetFolders(folders.data, pellan::platform::ProgramFileFolder());
        QObject::connect(&frame, &pellan::gui::CMainFrame::programEnded, &app, &QApplication::quit,
                         Qt::QueuedConnection);
        frame.SetLanguage(options.language);
        frame.show();
        if (options.factory) {
            frame.ShowFactoryView(true);
        }
        status = frame.StartUp() ? QApplication::exec() : 1;
        // Boxes that job threads still wait for count as answered, and the threads are let
        // finish (a successful update's thread is still returning) before the line controller
        // they use goes.
        sink.Shutdown();
        for (int line = 0; line < pellan::kLineCount; ++line) {
            view.WaitLineJob(line);
        }
    }
    pellan::ReleaseLineController(view);
    return status;
}
