#include "app/window/MovieSettingsPanel.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <cmath>

#include "app/window/MovieSettingsController.h"

namespace fw {

namespace {

void selectData(QComboBox* box, qlonglong value) {
    const QSignalBlocker blocker(box);
    box->setCurrentIndex(box->findData(value));
}

void showNumber(QSpinBox* field, const QVariant& value) {
    const QSignalBlocker blocker(field);
    const double number = value.toDouble();
    field->setValue(std::isfinite(number) ? static_cast<int>(std::lround(number)) : 0);
}

}  // namespace

MovieSettingsPanel::MovieSettingsPanel(MovieSettingsController& controller, QWidget* parent)
    : QWidget(parent),
      controller_(controller),
      codec_(new QComboBox(this)),
      quality_(new QComboBox(this)),
      qualityLabel_(new QLabel(tr("Quality:"), this)),
      bitRateLabel_(new QLabel(tr("Bit rate:"), this)),
      bitRate_(new QDoubleSpinBox(this)),
      frameRate_(new QSpinBox(this)),
      preset_(new QComboBox(this)),
      width_(new QSpinBox(this)),
      height_(new QSpinBox(this)),
      reason_(new QLabel(this)) {
    codec_->addItem(tr("H.264"), MovieSettingsController::kCodecTagH264);
    codec_->addItem(tr("HEVC"), MovieSettingsController::kCodecTagHEVC);
    codec_->addItem(tr("ProRes 422"), MovieSettingsController::kCodecTagProRes422);

    quality_->addItem(tr("Standard"), MovieSettingsController::kQualityStandard);
    quality_->addItem(tr("High"), MovieSettingsController::kQualityHigh);
    quality_->addItem(tr("Custom Bit Rate"), MovieSettingsController::kQualityCustom);

    bitRate_->setRange(0.1, 50.0);
    bitRate_->setDecimals(1);
    bitRate_->setSingleStep(0.5);
    bitRate_->setSuffix(tr(" Mbps"));
    bitRate_->setKeyboardTracking(false);

    frameRate_->setRange(1, 30);
    frameRate_->setSuffix(tr(" fps"));
    frameRate_->setKeyboardTracking(false);

    preset_->addItem(tr("First Image Size"), MovieSettingsController::kPresetFirstImage);
    preset_->addItem(tr("640 × 480"), MovieSettingsController::kPreset480);
    preset_->addItem(tr("1280 × 720"), MovieSettingsController::kPreset720);
    preset_->addItem(tr("1920 × 1080"), MovieSettingsController::kPreset1080);
    preset_->addItem(tr("3840 × 2160"), MovieSettingsController::kPreset2160);
    preset_->addItem(tr("Custom"), MovieSettingsController::kPresetCustom);

    for (QSpinBox* field : {width_, height_}) {
        field->setRange(0, 99999);
        field->setKeyboardTracking(false);
        field->setSuffix(tr(" px"));
    }
    reason_->setWordWrap(true);
    reason_->setStyleSheet(QStringLiteral("color: #b00020;"));

    auto* size = new QHBoxLayout;
    size->addWidget(width_);
    size->addWidget(new QLabel(QStringLiteral("×"), this));
    size->addWidget(height_);
    size->addStretch();

    auto* form = new QFormLayout(this);
    form->addRow(tr("Codec:"), codec_);
    form->addRow(qualityLabel_, quality_);
    form->addRow(bitRateLabel_, bitRate_);
    form->addRow(tr("Frame rate:"), frameRate_);
    form->addRow(tr("Size:"), preset_);
    form->addRow(QString(), size);
    form->addRow(reason_);

    auto tagOf = [](QComboBox* box, int index) { return box->itemData(index).toLongLong(); };
    connect(codec_, &QComboBox::currentIndexChanged, this,
            [this, tagOf](int index) { controller_.setSelectedCodecTag(tagOf(codec_, index)); });
    connect(quality_, &QComboBox::currentIndexChanged, this, [this, tagOf](int index) {
        controller_.setSelectedQualityTag(tagOf(quality_, index));
    });
    connect(preset_, &QComboBox::currentIndexChanged, this, [this, tagOf](int index) {
        controller_.setSelectedSizePresetsTag(tagOf(preset_, index));
    });
    connect(bitRate_, &QDoubleSpinBox::valueChanged, this,
            [this](double value) { controller_.setBitRate(value); });
    connect(frameRate_, &QSpinBox::valueChanged, this,
            [this](int value) { controller_.setFrameRate(static_cast<qulonglong>(value)); });
    connect(width_, &QSpinBox::valueChanged, this, [this](int value) {
        if (controller_.customFieldsAreEnabled()) {
            controller_.setWidth(value);
        }
    });
    connect(height_, &QSpinBox::valueChanged, this, [this](int value) {
        if (controller_.customFieldsAreEnabled()) {
            controller_.setHeight(value);
        }
    });

    for (auto signal :
         {&MovieSettingsController::selectedCodecTagChanged,
          &MovieSettingsController::selectedQualityTagChanged,
          &MovieSettingsController::selectedSizePresetsTagChanged,
          &MovieSettingsController::widthChanged, &MovieSettingsController::heightChanged,
          &MovieSettingsController::customFieldsAreEnabledChanged,
          &MovieSettingsController::frameRateChanged, &MovieSettingsController::bitRateChanged,
          &MovieSettingsController::readyToCreateMovieChanged,
          &MovieSettingsController::controlsChanged}) {
        connect(&controller_, signal, this, &MovieSettingsPanel::refresh);
    }
    refresh();
}

void MovieSettingsPanel::refresh() {
    selectData(codec_, controller_.selectedCodecTag());
    selectData(quality_, controller_.selectedQualityTag());
    selectData(preset_, controller_.selectedSizePresetsTag());
    {
        const QSignalBlocker blocker(bitRate_);
        bitRate_->setValue(controller_.bitRate());
    }
    {
        const QSignalBlocker blocker(frameRate_);
        frameRate_->setValue(static_cast<int>(controller_.frameRate()));
    }
    showNumber(width_, controller_.width());
    showNumber(height_, controller_.height());

    const bool qualityVisible = controller_.qualityControlsVisible();
    qualityLabel_->setVisible(qualityVisible);
    quality_->setVisible(qualityVisible);
    bitRateLabel_->setVisible(qualityVisible);
    bitRate_->setVisible(qualityVisible);
    bitRate_->setEnabled(controller_.customBitRateEnabled());
    width_->setEnabled(controller_.customFieldsAreEnabled());
    height_->setEnabled(controller_.customFieldsAreEnabled());
    reason_->setText(controller_.notReadyReason());
    reason_->setVisible(!controller_.notReadyReason().isEmpty());
}

}  // namespace fw
