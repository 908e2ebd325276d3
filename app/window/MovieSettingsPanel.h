// MovieSettingsPanel: the settings controls of the main window (codec, quality, custom bit
// rate, frame rate, size preset with width and height, and the reason an export is not
// possible), bound both ways to a MovieSettingsController. It holds no state of its own.
//
// Thread-safety: a widget; main thread only.
#pragma once

#include <QWidget>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;

namespace fw {

class MovieSettingsController;

class MovieSettingsPanel : public QWidget {
    Q_OBJECT

public:
    // The controller must outlive the panel.
    explicit MovieSettingsPanel(MovieSettingsController& controller, QWidget* parent = nullptr);

    // The controls, for the window's layout and for tests.
    QComboBox* codecBox() const { return codec_; }
    QComboBox* qualityBox() const { return quality_; }
    QDoubleSpinBox* bitRateField() const { return bitRate_; }
    QSpinBox* frameRateField() const { return frameRate_; }
    QComboBox* sizePresetBox() const { return preset_; }
    QSpinBox* widthField() const { return width_; }
    QSpinBox* heightField() const { return height_; }
    QLabel* reasonLabel() const { return reason_; }

private:
    void refresh();

    MovieSettingsController& controller_;
    QComboBox* codec_;
    QComboBox* quality_;
    QLabel* qualityLabel_;
    QLabel* bitRateLabel_;
    QDoubleSpinBox* bitRate_;
    QSpinBox* frameRate_;
    QComboBox* preset_;
    QSpinBox* width_;
    QSpinBox* height_;
    QLabel* reason_;
};

}  // namespace fw
