#include "surveywalk.h"

#include <algorithm>

#include "m30protocol.h"

namespace {

// Transfer-buffer kinds.
constexpr int kRecordList = 1, kStoredRecord = 3;
// Time, point count and dose unit.
constexpr int kRecordHeaderBytes = 16;

}  // namespace

SurveyList readSurveyList(M30Protocol &m30) {
    SurveyList list;
    std::vector<uint8_t> buffer(SURVEY_LIST_BYTES);
    if (!m30.txBuffDownload(kRecordList, 0, 1, SURVEY_LIST_MAX, 0, 0, &list.announced, nullptr,
                            nullptr, reinterpret_cast<char *>(buffer.data()),
                            static_cast<int>(buffer.size()), &list.length)) {
        list.error = SurveyReadError::Transfer;
        return list;
    }
    // A list shorter than the count it announces was cut short.
    if (list.announced < 0 || list.announced > SURVEY_LIST_MAX ||
        static_cast<int64_t>(list.announced) * 4 > list.length) {
        list.error = SurveyReadError::Malformed;
        return list;
    }
    list.ids = decodeSurveyList(buffer.data(), static_cast<size_t>(list.length), list.announced);
    return list;
}

SurveyRecordRead readSurveyRecord(M30Protocol &m30, int32_t id) {
    SurveyRecordRead read;
    std::vector<uint8_t> buffer(SURVEY_RECORD_BYTES, 0);
    if (!m30.txBuffDownload(kStoredRecord, 0, id, 1, 0, 0, nullptr, nullptr, nullptr,
                            reinterpret_cast<char *>(buffer.data()),
                            static_cast<int>(buffer.size()), &read.length))
        read.error = SurveyReadError::Transfer;
    else if (read.length < kRecordHeaderBytes)
        read.error = SurveyReadError::Malformed;  // its time would read as 1970
    else
        read.record = decodeSurveyRecord(buffer.data(), static_cast<size_t>(read.length));
    return read;
}

void SurveyWalk::begin(const std::vector<int32_t> &ids, SurveyWindow window, int value,
                       const QDateTime &now) {
    m_ids.assign(ids.rbegin(), ids.rend());
    std::erase_if(m_ids, [this](int32_t id) { return m_delivered.count(id) > 0; });
    m_window = window;
    m_value = value;
    m_now = now;
    m_asked = m_taken = 0;
    m_outside = false;
}

std::optional<int32_t> SurveyWalk::next() {
    // Taking every record, one more is asked for while one is handled, so that the link never
    // stands idle meanwhile. A window ends at its first older record, which only reading it
    // tells: then one at a time, never reading beyond it.
    const size_t ahead = m_window == SurveyWindow::All ? 2 : 1;
    if (m_outside || m_asked >= m_ids.size() || m_asked >= m_taken + ahead) return std::nullopt;
    return m_ids[m_asked++];
}

bool SurveyWalk::take(const SurveyRecord &record) {
    if (m_outside || m_taken >= m_asked) return false;
    if (!surveyRecordInWindow(record.time, m_window, m_value, m_now)) {
        m_outside = true;
        return false;
    }
    m_delivered.insert(m_ids[m_taken++]);
    return true;
}
