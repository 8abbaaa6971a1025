// The GUI scale in percent, kept in "scale_factor.ini" in the user's configuration folder, and
// applied as QT_SCALE_FACTOR before the application object exists, so it holds for the whole run.
#pragma once

#include <QByteArray>
#include <QString>

constexpr int kDefaultScaleFactor = 100;
// A hand-edited file may hold anything; outside this range the window would be unusable.
constexpr int kMinScaleFactor = 10, kMaxScaleFactor = 400;

// "scale_factor.ini" beside the user's other settings of the application.
QString scaleFactorFile();
// Where earlier versions kept it: the folder the program was started from.
QString oldScaleFactorFile();
// "ScaleFactor" of the file; 100 when absent, not a regular file of a sane size, unreadable or
// beyond any usable scale.
int readScaleFactor(const QString &file);
// False, with the reason, when the file could not be written.
bool writeScaleFactor(const QString &file, int percent, QString *error);
// The percentage as QT_SCALE_FACTOR wants it: 150 gives "1.5".
QByteArray scaleFactorValue(int percent);
// Reads the file and sets QT_SCALE_FACTOR; returns the percentage applied.
int applyScaleFactor(const QString &file);
// At start: the scale a user set in an earlier version is taken over into the configuration
// folder once, unless a scale is kept there already; then it is applied.
int applyStoredScaleFactor();
