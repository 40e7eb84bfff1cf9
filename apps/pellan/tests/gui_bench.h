#pragma once

// The desktop program in-process: document, view, the standard jobs and the real window on Qt's
// offscreen platform, against simulated sticks on a clock whose fixed waits last a hundredth.
// Message boxes are the real ones; a watcher reads and answers them as a user would.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "firmware_gen.h"
#include "main_frame.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/resources.h"
#include "qt_view_sink.h"
#include "sim/sim_machine.h"
#include "support/resource_set.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan::gui::test {

struct Box {
    QString caption;
    QString text;
};

// Answers every message box that opens (OK), after `onBox` has looked at it.
class BoxWatcher {
  public:
    BoxWatcher();
    std::vector<Box> Boxes() const;
    bool Seen(const QString& text) const;
    // Runs on the window thread while the box is still open.
    std::function<void(const Box&)> onBox;

  private:
    void Poll();
    QTimer m_timer;
    std::vector<Box> m_boxes;
};

class GuiBench {
  public:
    GuiBench();
    ~GuiBench();

    // A stick with the host's --fast timings (restarts a hundredth as long).
    static sim::StickOptions FastStick();
    std::shared_ptr<sim::StickModel> Plug(sim::StickOptions options = FastStick());
    // Creates the window and runs its start-up; false when the start-up ended the program.
    bool Start();

    QString Text(int id) const;
    bool Enabled(int id) const;
    // Processes events until `done` or `ms` of real time.
    static bool WaitUntil(const std::function<bool()>& done, int ms);
    std::filesystem::path WorkingFolder() const;

    pellan::test::TempDir dir;
    platform::SystemClock realClock;
    platform::FastClock clock{realClock};
    sim::SimMachine machine{clock};
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env;
    QtViewSink sink;
    std::unique_ptr<CPellanDoc> doc;
    std::unique_ptr<CPellanView> view;
    std::unique_ptr<CMainFrame> frame;
    BoxWatcher boxes;
    bool programEnded = false;

  private:
    pellan::test::ResourceSet m_resources{pellan::test::SmallSet()};
};

}  // namespace pellan::gui::test
