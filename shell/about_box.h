// The About box TForm2: product picture, name and version, banner, three link labels, OK.
#pragma once

#include "shell/hyperlink.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace shell {

class TForm2 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm2(QWidget* parent = nullptr);
    QWidget* Panel1;
    QLabel *ProgramIcon, *ProductName, *Version, *Image1;
    THyperLink *HyperLink1, *HyperLink2, *HyperLink3;
    QPushButton* OKButton;
};

} // namespace shell
