// The time window of stored survey records.
#include <gtest/gtest.h>

#include <QDateTime>
#include <cstdlib>
#include <ctime>

#include "device/surveyrecord.h"

namespace {

// A day back means local calendar days, whether the caller's "now" is in local time or in UTC.
TEST(SurveyWindowTest, DaysAreLocalDatesWhateverTheTimeSpecOfNow) {
    const char *saved = std::getenv("TZ");
    std::string previous = saved ? saved : "";
    setenv("TZ", "UTC-14", 1);  // far from UTC: local and UTC dates differ for 14 h of each day
    tzset();
    const QDateTime localNow(QDate(2026, 3, 10), QTime(8, 0), Qt::LocalTime);
    const QDateTime utcNow = localNow.toUTC();  // still 9 March
    for (int hoursBack = 0; hoursBack < 72; ++hoursBack) {
        auto t = static_cast<uint32_t>(localNow.toSecsSinceEpoch() - hoursBack * 3600);
        EXPECT_EQ(surveyRecordInWindow(t, SurveyWindow::Days, 1, localNow),
                  surveyRecordInWindow(t, SurveyWindow::Days, 1, utcNow))
            << hoursBack << " hours back";
    }
    // Recorded at 23:00 local time two days before: outside one day, inside two.
    auto t = static_cast<uint32_t>(
        QDateTime(QDate(2026, 3, 8), QTime(23, 0), Qt::LocalTime).toSecsSinceEpoch());
    EXPECT_FALSE(surveyRecordInWindow(t, SurveyWindow::Days, 1, utcNow));
    EXPECT_TRUE(surveyRecordInWindow(t, SurveyWindow::Days, 2, utcNow));
    if (saved)
        setenv("TZ", previous.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace
