#include "gui_bench.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <algorithm>

#include "firmware/firmware_set.h"
#include "line/standard_jobs.h"

namespace pellan::gui::test {

BoxWatcher::BoxWatcher() {
    m_timer.setInterval(15);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start();
}

void BoxWatcher::Poll() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) {
            continue;
        }
        box->setProperty("answered", true);
        const Box seen{box->windowTitle(), box->text()};
        m_boxes.push_back(seen);
        if (onBox) {
            onBox(seen);
        }
        QPointer<QMessageBox> guard(box);
        if (guard) {
            guard->button(QMessageBox::Ok)->click();
        }
    }
}

std::vector<Box> BoxWatcher::Boxes() const {
    return m_boxes;
}

bool BoxWatcher::Seen(const QString& text) const {
    return std::any_of(m_boxes.begin(), m_boxes.end(),
                       [&](const Box& box) { return box.text == text; });
}

GuiBench::GuiBench() {
    env.clock = &clock;
    env.serial = &serial;
    env.registry = &registry;
    env.deviceRoot = dir.Path() / "root";
    std::filesystem::create_directories(env.deviceRoot);
    std::filesystem::create_directories(dir.Path() / "program");
    doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
    view = std::make_unique<CPellanView>(*doc, sink);
    InstallStandardJobs(*view);
}

GuiBench::~GuiBench() {
    sink.Shutdown();
    for (int line = 0; line < kLineCount; ++line) {
        view->WaitLineJob(line);
    }
    frame.reset();
    ReleaseLineController(*view);
    view.reset();
    doc.reset();
}

sim::StickOptions GuiBench::FastStick() {
    sim::StickOptions options;
    options.leaveDelayMs = 40;
    options.reenumDelayMs = 30;
    options.downloaderReenumDelayMs = 15;
    return options;
}

std::shared_ptr<sim::StickModel> GuiBench::Plug(sim::StickOptions options) {
    return machine.AddStick(std::move(options));
}

bool GuiBench::Start() {
    frame = std::make_unique<CMainFrame>(*view, sink);
    QObject::connect(frame.get(), &CMainFrame::programEnded, [this] { programEnded = true; });
    frame->show();
    return frame->StartUp();
}

QString GuiBench::Text(int id) const {
    QWidget* widget = frame->Controls().First(id);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text();
    }
    return {};
}

bool GuiBench::Enabled(int id) const {
    QWidget* widget = frame->Controls().First(id);
    return widget != nullptr && widget->isEnabled();
}

bool GuiBench::WaitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

std::filesystem::path GuiBench::WorkingFolder() const {
    return pellan::WorkingFolder(env.deviceRoot);
}

}  // namespace pellan::gui::test
