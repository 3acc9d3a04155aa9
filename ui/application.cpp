#include "application.h"

#include <QGuiApplication>

namespace vantorel {

void prepareApplication()
{
    // The form's sizes are pixels of a 96-DPI screen. With scaling they are
    // device-independent pixels, multiplied by the screen's factor: the
    // desktop's scale on Windows; on X11 Xft.dpi / 96, or without it the
    // screen's DPI / 96; QT_SCALE_FACTOR and QT_SCREEN_SCALE_FACTORS where set.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // The factor as the screen gives it, unrounded: 2 at 192 DPI, 1.5 at 144
    // (Windows at 150 %, Xft.dpi 144). Whole factors stay whole and sharp; at
    // a fractional one the window is the size the desktop asks for, as every
    // other window on it is, and this form draws cleanly. Rounding would make
    // 150 % either 1 or 2, a window a third too small or too large, depending
    // on which side of 144 the screen's DPI falls (X11 without Xft.dpi takes it
    // from the screen's size in whole millimetres). QT_SCALE_FACTOR_ROUNDING_POLICY
    // still overrides this.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

} // namespace vantorel
