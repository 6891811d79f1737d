#include "advancedsettings.h"

#include "audioinput.h"
#include "qtempomind.h"
#include "ui_advancedsettings.h"

AdvancedSettings::AdvancedSettings(QTempomind* facade, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::AdvancedSettings>()), facade(facade) {
    ui->setupUi(this);
}

AdvancedSettings::~AdvancedSettings() = default;

void AdvancedSettings::SetSelectedAudioDevice(int index) {
    suppress = true;
    audioDeviceIndex = index;
    ui->channelList->clear();
    AudioInput* audio = facade ? facade->audio : nullptr;
    if (audio) {
        const std::vector<unsigned char> channels = audio->getCurrentChannels();
        for (std::size_t i = 0; i < channels.size(); ++i) {
            auto* item = new QTreeWidgetItem(ui->channelList);
            item->setText(0, QString::number(i + 1));
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, channels[i] != 0 ? Qt::Checked : Qt::Unchecked);
        }
    }
    suppress = false;
}

void AdvancedSettings::on_channelList_itemChanged(QTreeWidgetItem* item, int) {
    if (suppress) return;
    AudioInput* audio = facade ? facade->audio : nullptr;
    if (!audio) return;
    const int position = ui->channelList->indexOfTopLevelItem(item);
    if (position < 0) return;
    audio->toggleChannel(position, item->checkState(0) == Qt::Checked ? 1 : 0);
}
