// The protocol object of the M30: bound to a recognised connection it hooks the instrument's event
// codes, turns each event frame into a record on the reader thread and, back on the device's
// thread, emits it as a typed signal. One blocking method per instrument command; each returns
// true when the command succeeded.
#pragma once

#include <QMetaType>
#include <QString>
#include <memory>

#include "mxx/m30.h"
#include "protocol.h"
#include "spectrum.h"

class M30Protocol : public Protocol {
    Q_OBJECT

public:
    static constexpr int kType = 12;

    explicit M30Protocol(QObject *parent = nullptr);

    // Hooks the instrument's event codes on the connection.
    void bind(int connId, QThread *thread) override;
    int type() const override { return kType; }
    void receiveData(QVariant &data) override;

    bool emulateKey(int key);  // Linux input-event key codes: Ok 28, Up 103, Left 105, ...
    bool setLeds(int leds);    // bit 0 and bit 1 select the two LEDs
    bool getLeds();            // the instrument's answer is not used: sends nothing, false
    bool setParams(M30_params &params);
    bool getParams(M30_params &params);
    bool getStatus(M30_status &status);
    bool powerOff();
    bool restart();
    bool welcome();
    bool setupDisplay(int setting);
    bool clearAccumulatedSpectrum();
    bool stopAccumulatedSpectrum();
    bool startAccumulatedSpectrum(int value);
    bool storeAssay();
    bool storeIdent();
    bool getDateTime(M30_date_time &time);
    bool setDateTime(M30_date_time &time);
    bool getVersions(M30_versions &versions);
    bool setGpsPower(int state);
    bool getGpsPower(int &state);
    bool recordSurvey(int on);  // 1 starts, 0 stops survey recording
    bool reaquireBg();
    bool confirmAlarms(int value);
    bool startRecordAudio(int &value);
    bool stopRecordAudio();
    bool playAudio(int value);
    bool stopAudio();
    bool setAdcParameter(int id, int value);
    bool assignNote(int a, int b);
    bool getMotionSensorData(M30_motion_sensor &data);
    bool getEventFilter(int &mask);
    bool setEventFilter(int mask);
    bool setInhibition(int a, int b);
    bool getInhitibion(int &a, int &b);
    bool wifiScan();
    bool setWifi(int value);
    bool getUsbGadgetList(M30_usb_gadget_list *list);
    bool getEthernetList(M30_ethernet_list *list);
    bool connectWifi(const QString &name, int value);
    bool setConnectCode(M30_connect_code *code);
    bool setIpv4(const QString &a, const QString &b, const QString &c, const QString &d,
                 const QString &e);
    bool setIpv6(const QString &a, const QString &b, const QString &c, const QString &d,
                 const QString &e);
    bool setNameServers(const QString &first, const QString &second);
    bool setAutoconnect(const QString &name, int value);
    bool getWifiIpv4List(const QString &name, M30_wifi_ipv4_list *list);
    bool getWifiIpv6List(const QString &name, M30_wifi_ipv6_list *list);
    bool removeWifi(const QString &name);
    bool writeLog(const QString &line);
    bool setGuiSerial(const QString &serial);

    // Reads one of the instrument's transfer buffers (kind 1 the record list, 3 a stored record,
    // 8 a picture of the display) into `buffer`, which holds `capacity` bytes, in the chunks the
    // instrument chooses. r1-r3 receive the prepare step's results (0 when it failed); `length`,
    // when given, grows by the bytes received. False when a step fails or gets no answer, when a
    // chunk reports an error, or when the data would not fit: nothing is written past capacity.
    bool txBuffDownload(int kind, unsigned subKind, int v1, int v2, int v3, int v4, int *r1,
                        int *r2, int *r3, char *buffer, int capacity, int *length);

    bool deleteRecord(int a, int b, int c, int d);
    bool prepareNoteDB(int value, int &answer);
    bool checkCalibDate(int value, M30_check_calib *check);
    bool getMemoryUsage(M30_memory_usage &usage);
    bool setDefaultParams();
    bool loadDefaultParams();
    bool loadGammaBackupParams(int &result);
    bool startCsStab();
    bool stopCsStab();
    bool getCalibrationMethodNames(M30_calibration_method_name &names, int &result);
    bool getCalibMethods(const QString &name, M30_calibration_methods &methods, int &result);
    bool saveCalibMethods(M30_calibration_methods &methods, int &result);
    bool saveCalibSpect(const QString &name, int a, int b, int &result);
    bool uploadCalibSpect(const M30_spectrum_data &spectrum, const QString &name, int a, int b,
                          int &result);
    bool downloadCalibSpect(int x, int a, int b, M30_calib_spectrum &spectrum, int &result);
    bool saveCalibLog(int value, const QString &text);
    bool startIdent(int value);
    bool stopIdent();
    bool startAssay();
    bool stopAssay();
    bool requestAssayResult();
    bool setLinearizationSpect(int value);
    bool linearizate();
    bool setLookupTable(int value);
    bool setHv(int value);
    bool setBgStab(int value);
    bool setRemoteControl(int value);
    bool sessionToMaintainer();
    bool assayCalculation();
    bool identifyCalculation();
    bool initCalibMethods();
    bool setNuclideLibrary(M30_nuclib_entry *library);
    bool getNuclideLibrary(M30_nuclib_entry *library, int selector);
    bool getExpandedStabSpect(int value, M30_expanded_spectrum_data *spectrum);
    bool setAssayCoreDepth(float depth);
    bool setCoreInfo(M30_core_info_entry *info);
    bool getVirtualComponents(int value, M30_virtual_components *components);
    bool setVirtualComponents(M30_virtual_components *components);
    bool updateCloudAssayId(int a, int b, int c, int *result);
    bool downloadJoblistFromCloud();
    bool deleteCloudRecords();
    bool btInquiryStart();
    bool btInquiryStop();
    bool btInquiryResults(M30_bt_inquiry_results *results);
    bool btConnect(int value, const char *address);

signals:
    void spectrumData(std::shared_ptr<Spectrum> spectrum);
    void assaySpectrumData(std::shared_ptr<Spectrum> spectrum);
    void identSpectrumData(std::shared_ptr<Spectrum> spectrum);
    void csStabSpectrumData(std::shared_ptr<Spectrum> spectrum);
    void accumulatedSpectrumData(std::shared_ptr<Spectrum> spectrum);
    void bgCalibSpectrumData(std::shared_ptr<Spectrum> spectrum);
    void keyboardData(std::shared_ptr<M30_keyboard_data> data);
    void totalData(std::shared_ptr<M30_total_data> data);
    void total20HzData(int value);
    void pulseData(std::shared_ptr<M30_pulse_data> data);
    void statusData(std::shared_ptr<M30_status> status);
    void connmanData(int value);
    void lightSensorMonoData(int value);
    void alarmData(int value);
    void progressData(std::shared_ptr<M30_progress_indication> progress);
    void assayResultsData(std::shared_ptr<M30_assay_results> results);
    void onflyAssayResultsData(std::shared_ptr<M30_assay_results> results);
    void identifyResultsData(std::shared_ptr<M30_identify_results> results);
    void csStabResultsData(int value);
    void messageData(std::shared_ptr<M30_message_event> message);
    void btManagerData(int value);
};

Q_DECLARE_METATYPE(std::shared_ptr<M30_spectrum_data>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_keyboard_data>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_total_data>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_pulse_data>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_status>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_progress_indication>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_assay_results>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_identify_results>)
Q_DECLARE_METATYPE(std::shared_ptr<M30_message_event>)
