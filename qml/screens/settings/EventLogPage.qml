import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import "../../controls"

// The event log, filtered by name and period.
Page {
    title: "Event Log"

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        RowLayout {
            spacing: 12
            TextField {
                id: search
                Layout.preferredWidth: 300
                placeholderText: "Search"
                onTextChanged: eventLogManager.applyFilter(text)
            }
            CustomButton {
                text: "CLEAR"
                onClicked: search.text = ""
            }
            ComboBox {
                Layout.preferredWidth: 200
                model: ["All history", "Last hour", "Last 2 hours", "Today", "Yesterday", "Last week", "Last month"]
                onActivated: eventLogManager.applyFilterPeriod(textAt(index))
            }
            ComboBox {
                Layout.preferredWidth: 180
                model: ["Critical", "Warning", "All messages"]
                currentIndex: 2
            }
        }

        ListView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: SortFilterModel {
                model: eventLogManager.data
                delegate: MessageRowItem {
                    width: ListView.view ? ListView.view.width : 0
                    title: modelData.name
                    message: modelData.description
                    time: Qt.formatDateTime(modelData.timestamp, "dd-MMM-yy hh:mm")
                }
            }
        }
    }
}
