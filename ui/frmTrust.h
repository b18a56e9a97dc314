#pragma once

#include "TrustProblem.h"

#include <QDialog>

class QLabel;
class QPushButton;

// Asks whether to trust a server that could not be confirmed: a TLS certificate the system does
// not trust (subject, issuer, validity and SHA-256 fingerprint shown), or an SSH host key that
// is not yet in known_hosts (type and SHA-256 fingerprint shown). Accepted means trust it;
// anything else, including closing the box, means do not.
class frmTrust : public QDialog {
    Q_OBJECT
public:
    frmTrust(const platform::TrustProblem& problem, const QString& knownHostsFile,
             QWidget* parent = nullptr);

    QLabel* lblQuestion = nullptr;
    QLabel* lblDetails = nullptr;
    QPushButton* cmdTrust = nullptr;
    QPushButton* cmdCancel = nullptr;
};
