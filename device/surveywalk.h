// Reading the survey records stored in an M30 and the walk a download makes over them: the record
// list, then the records newest first, leaving out those an earlier attempt delivered, up to the
// first record outside the time window. The download dialog drives the walk through its command
// queue, the command-line tool in a loop; both read with the functions here, so both check the
// same things.
#pragma once

#include <QDateTime>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "surveyrecord.h"

class M30Protocol;

enum class SurveyReadError {
    None,
    Transfer,   // the transfer failed or got no answer; the protocol's last command tells which
    Malformed,  // it arrived, but shorter than what it must hold
};

struct SurveyList {
    SurveyReadError error = SurveyReadError::None;
    int announced = 0;         // records the instrument announced
    int length = 0;            // bytes it sent
    std::vector<int32_t> ids;  // oldest first
};

struct SurveyRecordRead {
    SurveyReadError error = SurveyReadError::None;
    int length = 0;  // bytes the instrument sent
    SurveyRecord record;
};

// Both block until the instrument has answered: call them where the instrument's commands run.
// A list is malformed when its count is negative, above SURVEY_LIST_MAX or more than the ids it
// holds.
SurveyList readSurveyList(M30Protocol &m30);
// A record is malformed when it ends before its time, point count and dose unit: it could not be
// placed in the window.
SurveyRecordRead readSurveyRecord(M30Protocol &m30, int32_t id);

class SurveyWalk {
public:
    // Starts a walk over `ids` (a record list, oldest first) for the records inside `window` of
    // `value` days or hours before `now`. The records this object delivered before are left out,
    // so that a retry goes on where a failed walk stopped.
    void begin(const std::vector<int32_t> &ids, SurveyWindow window, int value,
               const QDateTime &now);

    // The id of the next record to read, while the read-ahead allows one more in flight; none
    // once every record was asked for or the walk has ended.
    std::optional<int32_t> next();
    // Takes the record asked for first and not yet taken: true when it lies in the window, so its
    // points belong to the download and it counts as delivered; false ends the walk there.
    bool take(const SurveyRecord &record);

    // Every record taken, or one outside the window reached.
    bool ended() const { return m_outside || m_taken >= m_ids.size(); }
    size_t taken() const { return m_taken; }
    size_t total() const { return m_ids.size(); }

private:
    std::vector<int32_t> m_ids;  // newest first
    SurveyWindow m_window = SurveyWindow::All;
    int m_value = 0;
    QDateTime m_now;
    size_t m_asked = 0;
    size_t m_taken = 0;
    bool m_outside = false;
    std::set<int32_t> m_delivered;
};
