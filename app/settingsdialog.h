// Edits the main window's user settings on copies: map file, picture folder, track radius, font
// scale, the reading that colours the track, and the five thresholds with their colours. The
// getters return the values taken at "Ok"; until then (and after Cancel) they return the values
// the dialog was built with. "Clear Map" asks for the map's points to be deleted at once. The
// instruments' settings (reconnecting at start, giving up a lost link) it keeps itself at "Ok".
#pragma once

#include <QColor>
#include <QDialog>
#include <QList>
#include <QString>

#include <memory>

class QLabel;
namespace Ui {
class SettingsDialog;
}

class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int kRows = 5;  // thresholds and colours

    SettingsDialog(const QString &mapDir, const QString &picDir, double trackRadius,
                   int scaleFactor, const QList<double> &values, const QList<QColor> &colors,
                   int mapPoints, QWidget *parent = nullptr);
    ~SettingsDialog() override;

    QString getMapDir() const { return m_mapDir; }
    QString getPicDir() const { return m_picDir; }
    double getTrackRadius() const { return m_trackRadius; }
    int getScaleFactor() const { return m_scaleFactor; }
    QList<double> getValues() const { return m_values; }
    QList<QColor> getColors() const { return m_colors; }
    int getMapPoints() const { return m_mapPoints; }

signals:
    void clearGpsDataOnMap();

private slots:
    void on_btn_map_clicked();
    void on_btn_color1_clicked();
    void on_btn_color2_clicked();
    void on_btn_color3_clicked();
    void on_btn_color4_clicked();
    void on_btn_color5_clicked();
    void on_btn_ok_clicked();
    void on_btn_cancel_clicked();
    void on_btn_pic_clicked();
    void on_btn_clearGpsData_clicked();

private:
    void chooseColor(int row);  // 0-based
    QLabel *swatch(int row) const;

    std::unique_ptr<Ui::SettingsDialog> m_ui;
    QList<QColor> m_colors;
    QList<QColor> m_chosenColors;  // shown on the swatches; become m_colors at "Ok"
    QList<double> m_values;
    double m_trackRadius;
    QString m_mapDir;
    QString m_picDir;
    int m_scaleFactor;
    int m_mapPoints;
};
