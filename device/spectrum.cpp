#include "spectrum.h"

#include <algorithm>
#include <cfloat>

Spectrum::Spectrum(unsigned long long count)
    : m_data(static_cast<qsizetype>(count), 0), m_dataD(static_cast<qsizetype>(count), 0.0) {}

Spectrum::Spectrum(const DataType &data, unsigned long long liveTime, unsigned long long clockTime,
                   unsigned int totalCount, unsigned int sequenceNumber, float fwhmCs137)
    : m_liveTime(liveTime),
      m_clockTime(clockTime),
      m_totalCount(totalCount),
      m_sequenceNumber(sequenceNumber),
      m_fwhmCs137(fwhmCs137),
      m_data(data),
      m_dataD(data.size(), 0.0),
      m_channels(static_cast<int>(data.size())) {}

Spectrum::Spectrum(const DataTypeD &dataD, unsigned long long liveTime,
                   unsigned long long clockTime, unsigned int totalCount,
                   unsigned int sequenceNumber, float fwhmCs137)
    : m_liveTime(liveTime),
      m_clockTime(clockTime),
      m_totalCount(totalCount),
      m_sequenceNumber(sequenceNumber),
      m_fwhmCs137(fwhmCs137),
      m_data(dataD.size(), 0),
      m_dataD(dataD),
      m_channels(static_cast<int>(dataD.size())) {}

Spectrum::Spectrum(const Spectrum &other) : QObject() {
    copyFrom(other);
}

Spectrum &Spectrum::operator=(const Spectrum &other) {
    if (this != &other) copyFrom(other);
    return *this;
}

void Spectrum::copyFrom(const Spectrum &other) {
    m_liveTime = other.m_liveTime;
    m_clockTime = other.m_clockTime;
    m_totalCount = other.m_totalCount;
    m_sequenceNumber = other.m_sequenceNumber;
    m_fwhmCs137 = other.m_fwhmCs137;
    m_sum = kSumNotComputed;
    m_data = other.m_data;
    m_dataD = other.m_dataD;
    m_type = other.m_type;
    m_accTotalCount = other.m_accTotalCount;
    m_neutronsTotal = other.m_neutronsTotal;
    m_geigerTotal = other.m_geigerTotal;
    m_dose = other.m_dose;
    m_doseRateSum = other.m_doseRateSum;
    m_channels = other.m_channels;
    m_csCalibStatus = other.m_csCalibStatus;
    m_csCalibResult = other.m_csCalibResult;
    m_actSample = other.m_actSample;
    m_totalSample = other.m_totalSample;
    m_finished = other.m_finished;
}

void Spectrum::setData(const DataType &data) {
    m_data = data;
    m_sum = kSumNotComputed;
}

void Spectrum::setDataD(const DataTypeD &dataD) {
    m_dataD = dataD;
    m_sum = kSumNotComputed;
}

int Spectrum::sum() const {
    if (m_sum != kSumNotComputed) return m_sum;
    unsigned int total = 0;  // unsigned: the wrap-around is defined
    for (int v : m_data)
        total += static_cast<unsigned int>(v);
    m_sum = static_cast<int>(total);
    return m_sum;
}

float deadTime(unsigned int liveTime, unsigned int clockTime) {
    // FLT_EPSILON keeps a zero clock time from dividing by zero.
    float clock = std::max(static_cast<float>(clockTime), FLT_EPSILON);
    return (1.0f - static_cast<float>(liveTime) / clock) * 100.0f;
}

float Spectrum::deadTime() const {
    return ::deadTime(static_cast<unsigned int>(m_liveTime),
                      static_cast<unsigned int>(m_clockTime));
}

Spectrum &Spectrum::operator+=(const Spectrum &other) {
    m_liveTime += other.m_liveTime;
    m_clockTime += other.m_clockTime;
    m_totalCount += other.m_totalCount;
    m_sequenceNumber = ~0ull;
    m_sum = kSumNotComputed;
    const qsizetype n = m_data.size();
    const qsizetype m = other.m_data.size();
    if (n == 0 || m == 0) return *this;
    // The double lists may be shorter when a caller replaced one list only; never index past them.
    const qsizetype nD = m_dataD.size(), mD = other.m_dataD.size();
    auto add = [&](qsizetype i, qsizetype j) {
        m_data[i] = static_cast<int>(static_cast<unsigned int>(m_data[i]) +
                                     static_cast<unsigned int>(other.m_data[j]));
        if (i < nD && j < mD) m_dataD[i] += other.m_dataD[j];
    };
    if (n == m) {
        for (qsizetype i = 0; i < n; ++i)
            add(i, i);
        return *this;
    }
    const float ratio = static_cast<float>(m) / static_cast<float>(n);
    for (qsizetype i = 0; i < n; ++i) {
        auto j = static_cast<qsizetype>(static_cast<float>(i) * ratio);
        add(i, std::min(j, m - 1));
    }
    return *this;
}

void Spectrum::clear() {
    m_liveTime = 0;
    m_clockTime = 0;
    m_totalCount = 0;
    m_fwhmCs137 = 0;
    m_sum = 0;
    m_sequenceNumber = ~0ull;
    std::fill(m_data.begin(), m_data.end(), 0);
    std::fill(m_dataD.begin(), m_dataD.end(), 0.0);
    m_type = ~0u;
    m_neutronsTotal = 0;
    m_geigerTotal = 0;
    m_dose = 0;
    m_doseRateSum = 0;
    m_csCalibStatus = 0;
    m_csCalibResult = 0;
    m_finished = 0;
}
