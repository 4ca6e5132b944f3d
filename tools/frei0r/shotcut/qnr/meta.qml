// Shotcut's description of the QNR filter: its name in the filter list, the
// MLT service (the frei0r plug-in qnr.so), and the settings that can change
// over time. Values are frei0r's 0 to 1; the panel shows the module's steps.
import QtQuick 2.0
import org.shotcut.qml 1.0

Metadata {
    type: Metadata.Filter
    name: qsTr("Reduce Noise: QNR")
    keywords: qsTr('denoise grain spatial luma sharpen', 'search keywords for the QNR video filter') + ' qnr'
    mlt_service: 'frei0r.qnr'
    objectName: 'qnr'
    qml: 'ui.qml'

    keyframes {
        allowAnimateIn: true
        allowAnimateOut: true
        simpleProperties: ['f1', 'f2', 'sharp']
        parameters: [
            Parameter {
                name: qsTr('Level f1')
                property: 'f1'
                isCurve: true
                minimum: 0
                maximum: 1
            },
            Parameter {
                name: qsTr('Level f2')
                property: 'f2'
                isCurve: true
                minimum: 0
                maximum: 1
            },
            Parameter {
                name: qsTr('Sharp')
                property: 'sharp'
                isCurve: true
                minimum: 0
                maximum: 1
            }
        ]
    }
}
