// The window's pictures, drawn at run time: splash, about banner, tab labels
// and button glyphs.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace sonorix::ui {

QPixmap splash_picture(int width, int height);
QPixmap about_picture(int width, int height);
// A tab label of 160 x 65: a glyph and the page's name in text_color (the
// palette's, so it reads on a light or dark tab).
QPixmap tab_picture(const QString& text, bool many_files, const QColor& text_color, double pixel_ratio = 1);
// The tab label at the screen's scales: sharp at 100 % and 200 %.
QIcon tab_icon(const QString& text, bool many_files, const QColor& text_color);
// The program's icon from its SVG's renderings, every size.
QIcon program_icon();

enum class Glyph { Load, Add, Folder, Remove, Clear, StepDown, StepUp, Amplify };
QIcon glyph_icon(Glyph glyph);

}  // namespace sonorix::ui
