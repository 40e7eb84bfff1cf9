#pragma once

#include <QIcon>
#include <QPixmap>

// The program's pictures, drawn rather than loaded so that nothing can fail to load: the line
// state pictures (ready, running, pass, fail) and the icons of the start and stop buttons.
namespace pellan::gui {

QPixmap StatePicture(int state, int size);
QIcon StartIcon();
QIcon StopIcon();
QIcon ProgramIcon();

}  // namespace pellan::gui
