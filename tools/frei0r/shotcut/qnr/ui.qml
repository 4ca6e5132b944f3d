// Shotcut's panel for the QNR filter: Level f1 and Level f2 (0 to 100) and
// Sharp (0 to 6) in whole steps, each with keyframes, and the Interlace and
// Show noise check boxes. The frei0r plug-in takes every value on a 0 to 1
// scale and rounds it to the module's step; the panel rounds the same way so
// it always shows the setting the module uses. MLT's `threads` property is
// left alone: set on this filter, it would cut each frame into strips that
// are filtered apart, and the seams would show.
import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import Shotcut.Controls 1.0 as Shotcut

Shotcut.KeyframableFilter {
    property string f1: 'f1'
    property string f2: 'f2'
    property string sharp: 'sharp'
    property string interlace: 'interlace'
    property string showNoise: 'show noise'
    // The module's own defaults: levels 70, Sharp 2 of 6.
    property double f1Default: 0.7
    property double f2Default: 0.7
    property double sharpDefault: 2 / 6

    function setControls() {
        var position = getPosition();
        blockUpdate = true;
        f1Slider.value = Math.round(filter.getDouble(f1, position) * f1Slider.maximumValue);
        f1KeyframesButton.checked = filter.animateIn <= 0 && filter.animateOut <= 0 && filter.keyframeCount(f1) > 0;
        f2Slider.value = Math.round(filter.getDouble(f2, position) * f2Slider.maximumValue);
        f2KeyframesButton.checked = filter.animateIn <= 0 && filter.animateOut <= 0 && filter.keyframeCount(f2) > 0;
        sharpSlider.value = Math.round(filter.getDouble(sharp, position) * sharpSlider.maximumValue);
        sharpKeyframesButton.checked = filter.animateIn <= 0 && filter.animateOut <= 0 && filter.keyframeCount(sharp) > 0;
        interlaceCheckBox.checked = filter.getDouble(interlace) >= 0.5;
        showNoiseCheckBox.checked = filter.getDouble(showNoise) >= 0.5;
        blockUpdate = false;
        enableControls(isSimpleKeyframesActive());
    }

    function enableControls(enabled) {
        f1Slider.enabled = f2Slider.enabled = sharpSlider.enabled = enabled;
    }

    // The slider's whole step on frei0r's scale.
    function scaled(slider) {
        return Math.round(slider.value) / slider.maximumValue;
    }

    function updateSimpleKeyframes() {
        setControls();
        updateFilter(f1, scaled(f1Slider), f1KeyframesButton, null);
        updateFilter(f2, scaled(f2Slider), f2KeyframesButton, null);
        updateFilter(sharp, scaled(sharpSlider), sharpKeyframesButton, null);
    }

    keyframableParameters: [f1, f2, sharp]
    startValues: [f1Default, f2Default, sharpDefault]
    middleValues: [f1Default, f2Default, sharpDefault]
    endValues: [f1Default, f2Default, sharpDefault]
    width: 400
    height: 180
    Component.onCompleted: {
        if (filter.isNew) {
            filter.set(f1, f1Default);
            filter.set(f2, f2Default);
            filter.set(sharp, sharpDefault);
            filter.set(interlace, 0);
            filter.set(showNoise, 0);
            filter.savePreset(preset.parameters);
        }
        setControls();
    }

    GridLayout {
        anchors.fill: parent
        anchors.margins: 8
        columns: 4

        Label {
            text: qsTr('Preset')
            Layout.alignment: Qt.AlignRight
        }

        Shotcut.Preset {
            id: preset

            parameters: [f1, f2, sharp, interlace, showNoise]
            Layout.columnSpan: 3
            onBeforePresetLoaded: {
                resetSimpleKeyframes();
            }
            onPresetSelected: {
                setControls();
                initializeSimpleKeyframes();
            }
        }

        Label {
            text: qsTr('Level f1')
            Layout.alignment: Qt.AlignRight

            Shotcut.HoverTip {
                text: qsTr('How strong the first frequency may be and still count as noise')
            }
        }

        Shotcut.SliderSpinner {
            id: f1Slider

            minimumValue: 0
            maximumValue: 100
            stepSize: 1
            decimals: 0
            onValueChanged: updateFilter(f1, scaled(f1Slider), f1KeyframesButton, getPosition())
        }

        Shotcut.UndoButton {
            onClicked: f1Slider.value = Math.round(f1Default * f1Slider.maximumValue)
        }

        Shotcut.KeyframesButton {
            id: f1KeyframesButton

            onToggled: {
                enableControls(true);
                toggleKeyframes(checked, f1, scaled(f1Slider));
            }
        }

        Label {
            text: qsTr('Level f2')
            Layout.alignment: Qt.AlignRight

            Shotcut.HoverTip {
                text: qsTr('How strong the second frequency may be and still count as noise')
            }
        }

        Shotcut.SliderSpinner {
            id: f2Slider

            minimumValue: 0
            maximumValue: 100
            stepSize: 1
            decimals: 0
            onValueChanged: updateFilter(f2, scaled(f2Slider), f2KeyframesButton, getPosition())
        }

        Shotcut.UndoButton {
            onClicked: f2Slider.value = Math.round(f2Default * f2Slider.maximumValue)
        }

        Shotcut.KeyframesButton {
            id: f2KeyframesButton

            onToggled: {
                enableControls(true);
                toggleKeyframes(checked, f2, scaled(f2Slider));
            }
        }

        Label {
            text: qsTr('Sharp')
            Layout.alignment: Qt.AlignRight

            Shotcut.HoverTip {
                text: qsTr('Gain for detail, in 32nds')
            }
        }

        Shotcut.SliderSpinner {
            id: sharpSlider

            minimumValue: 0
            maximumValue: 6
            stepSize: 1
            decimals: 0
            onValueChanged: updateFilter(sharp, scaled(sharpSlider), sharpKeyframesButton, getPosition())
        }

        Shotcut.UndoButton {
            onClicked: sharpSlider.value = Math.round(sharpDefault * sharpSlider.maximumValue)
        }

        Shotcut.KeyframesButton {
            id: sharpKeyframesButton

            onToggled: {
                enableControls(true);
                toggleKeyframes(checked, sharp, scaled(sharpSlider));
            }
        }

        Label {
        }

        CheckBox {
            id: interlaceCheckBox

            text: qsTr('Interlace')
            onClicked: filter.set(interlace, checked ? 1 : 0)

            Shotcut.HoverTip {
                text: qsTr('Filter each field of an interlaced frame on its own')
            }
        }

        Shotcut.UndoButton {
            onClicked: {
                interlaceCheckBox.checked = false;
                filter.set(interlace, 0);
            }
        }

        Item {
            width: 1
        }

        Label {
        }

        CheckBox {
            id: showNoiseCheckBox

            text: qsTr('Show noise')
            onClicked: filter.set(showNoise, checked ? 1 : 0)

            Shotcut.HoverTip {
                text: qsTr('Show what is removed, amplified around mid-grey, instead of the filtered frame')
            }
        }

        Shotcut.UndoButton {
            onClicked: {
                showNoiseCheckBox.checked = false;
                filter.set(showNoise, 0);
            }
        }

        Item {
            width: 1
        }

        Item {
            Layout.fillHeight: true
        }
    }

    Connections {
        function onChanged() {
            setControls();
        }

        function onInChanged() {
            updateSimpleKeyframes();
        }

        function onOutChanged() {
            updateSimpleKeyframes();
        }

        function onAnimateInChanged() {
            updateSimpleKeyframes();
        }

        function onAnimateOutChanged() {
            updateSimpleKeyframes();
        }

        function onPropertyChanged(name) {
            setControls();
        }

        target: filter
    }

    Connections {
        function onPositionChanged() {
            setControls();
        }

        target: producer
    }
}
