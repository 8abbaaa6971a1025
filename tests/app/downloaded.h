// Collects what a download emits, for tests of the dialog and of the window.
#pragma once

#include <QObject>
#include <vector>

#include "survey/surveyreading.h"

namespace test {

// The points with a place on the map among the records a download dialog or a panel emits, in
// the order they came.
struct DownloadedPoints {
    std::vector<SurveyReading> points;
    template <class Sender>
    explicit DownloadedPoints(Sender *sender) {
        QObject::connect(sender, &Sender::recordDownloaded,
                         [this](const std::vector<SurveyReading> &readings) {
                             for (const SurveyReading &r : readings)
                                 if (r.usable()) points.push_back(r);
                         });
    }
    int count() const { return int(points.size()); }
};

}  // namespace test
