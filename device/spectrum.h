// A gamma spectrum: channel counts (as integers and as doubles) with the acquisition times,
// counters and measurement state that come with it. Held by value in std::shared_ptr<Spectrum>.
#pragma once

#include <QList>
#include <QMetaType>
#include <QObject>
#include <cstddef>
#include <memory>

class Spectrum : public QObject {
    Q_OBJECT
    Q_PROPERTY(quint64 clock_time READ clockTime WRITE setClockTime)
    Q_PROPERTY(DataType data READ data WRITE setData)
    Q_PROPERTY(DataTypeD dataD READ dataD WRITE setDataD)
    Q_PROPERTY(quint64 live_time READ liveTime WRITE setLiveTime)
    Q_PROPERTY(unsigned int sequence_num READ sequenceNumber WRITE setSequenceNumber)
    Q_PROPERTY(unsigned int total_count READ totalCount WRITE setTotalCount)
    Q_PROPERTY(float fwhm_cs137 READ fwhmCs137 WRITE setFwhmCs137)
    Q_PROPERTY(float dead_time READ deadTime)
    Q_PROPERTY(int sum READ sum)
    Q_PROPERTY(size_t size READ size)
    Q_PROPERTY(int channels READ channels WRITE setChannels)

public:
    using DataType = QList<int>;
    using DataTypeD = QList<double>;

    // Spectrum types; the wire's kinds are mapped onto these by the M30 protocol.
    enum Type : unsigned int {
        None = 0,
        Live = 1,
        Accumulated = 2,
        Assay = 3,
        CsStabilisation = 4,
        BackgroundCalibration = 5,
        Identification = 6,
    };

    explicit Spectrum(unsigned long long count = 0);
    Spectrum(const DataType &data, unsigned long long liveTime, unsigned long long clockTime,
             unsigned int totalCount, unsigned int sequenceNumber, float fwhmCs137);
    Spectrum(const DataTypeD &dataD, unsigned long long liveTime, unsigned long long clockTime,
             unsigned int totalCount, unsigned int sequenceNumber, float fwhmCs137);
    // Copies every member but the cached sum, which is recomputed on demand.
    Spectrum(const Spectrum &other);
    Spectrum &operator=(const Spectrum &other);

    unsigned long long liveTime() const { return m_liveTime; }
    void setLiveTime(unsigned long long v) { m_liveTime = v; }
    unsigned long long clockTime() const { return m_clockTime; }
    void setClockTime(unsigned long long v) { m_clockTime = v; }
    unsigned int sequenceNumber() const { return static_cast<unsigned int>(m_sequenceNumber); }
    void setSequenceNumber(unsigned int v) { m_sequenceNumber = v; }
    unsigned int totalCount() const { return static_cast<unsigned int>(m_totalCount); }
    void setTotalCount(unsigned int v) { m_totalCount = v; }
    float fwhmCs137() const { return m_fwhmCs137; }
    void setFwhmCs137(float v) { m_fwhmCs137 = v; }
    unsigned int type() const { return m_type; }
    void setType(unsigned int v) { m_type = v; }
    unsigned int accTotalCnt() const { return static_cast<unsigned int>(m_accTotalCount); }
    void setAccTotalCnt(unsigned int v) { m_accTotalCount = v; }
    float dose() const { return m_dose; }
    void setDose(float v) { m_dose = v; }
    int neutronsTotal() const { return m_neutronsTotal; }
    void setNeutronsTotal(int v) { m_neutronsTotal = v; }
    int geigerTotal() const { return m_geigerTotal; }
    void setGeigerTotal(int v) { m_geigerTotal = v; }
    float dr_summ() const { return m_doseRateSum; }
    void setDRSum(float v) { m_doseRateSum = v; }
    int channels() const { return m_channels; }
    void setChannels(int v) { m_channels = v; }
    int csCalibStatus() const { return m_csCalibStatus; }
    void setCsCalibStatus(int v) { m_csCalibStatus = v; }
    int csCalibResult() const { return m_csCalibResult; }
    void setCsCalibResult(int v) { m_csCalibResult = v; }
    int actSample() const { return m_actSample; }
    void setActSample(int v) { m_actSample = v; }
    int totalSample() const { return m_totalSample; }
    void setTotalSample(int v) { m_totalSample = v; }
    int finished() const { return m_finished; }
    void setFinished(int v) { m_finished = v; }

    const DataType &data() const { return m_data; }
    void setData(const DataType &data);
    const DataTypeD &dataD() const { return m_dataD; }
    void setDataD(const DataTypeD &dataD);
    size_t size() const { return static_cast<size_t>(m_data.size()); }

    // Sum of the integer channels with 32-bit wrap-around, cached until the channels change.
    int sum() const;
    // Dead time in percent.
    float deadTime() const;

    // Adds another spectrum's times, total count and channels; a different channel count is
    // resampled onto this one's grid by taking the lower neighbour.
    Spectrum &operator+=(const Spectrum &other);
    void clear();

private:
    static constexpr int kSumNotComputed = 0x7FFFFFFF;

    void copyFrom(const Spectrum &other);

    unsigned long long m_liveTime = 0;
    unsigned long long m_clockTime = 0;
    unsigned long long m_totalCount = 0;      // read as 32 bits
    unsigned long long m_sequenceNumber = 0;  // read as 32 bits
    float m_fwhmCs137 = 0;
    mutable int m_sum = kSumNotComputed;
    DataType m_data;
    DataTypeD m_dataD;
    unsigned int m_type = None;
    unsigned long long m_accTotalCount = 0;  // read as 32 bits
    int m_neutronsTotal = 0;
    int m_geigerTotal = 0;
    float m_dose = 0;
    float m_doseRateSum = 0;
    int m_channels = 1024;
    int m_csCalibStatus = 0;
    int m_csCalibResult = 0;
    int m_actSample = 0;
    int m_totalSample = 0;
    int m_finished = 0;
};

// Dead time in percent from the low 32 bits of the live and clock times.
float deadTime(unsigned int liveTime, unsigned int clockTime);

Q_DECLARE_METATYPE(std::shared_ptr<Spectrum>)
