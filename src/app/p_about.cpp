#include "app/p_about.h"

#include <QDate>
#include <QGridLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include "app/pictures.h"
#include "app/web.h"

namespace sonorix::ui {

namespace {

const char* const kNotice = "Copyright (C) Brellan Software ";

}  // namespace

Tabout::Tabout(QWidget* owner) : QDialog(owner, Qt::Dialog) {
    setObjectName("about");
    setWindowTitle("About");
    resize(318, 164);
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setPixmap(about_picture(318, 44));
    Label8 = new QLabel("Sonorix", this);
    Label8->setObjectName("Label8");
    QFont bold = Label8->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.25);
    Label8->setFont(bold);
    Label5 = new QLabel(this);
    Label5->setObjectName("Label5");
    Label5->setText(kMakerHomePage);
    QFont link = Label5->font();
    link.setUnderline(true);
    Label5->setFont(link);
    Label5->setForegroundRole(QPalette::Link);  // the palette's link colour, light or dark
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->installEventFilter(this);
    Label3 = new QLabel(" ", this);
    Label3->setObjectName("Label3");
    Label1 = new QLabel("Version 2.2.0. All rights reserved.", this);
    Label1->setObjectName("Label1");
    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 8);
    grid->setVerticalSpacing(2);
    grid->addWidget(Image1, 0, 0, 1, 2);
    auto add = [&](QWidget* w, int row) {
        grid->addWidget(w, row, 0, 1, 2);
        grid->setAlignment(w, Qt::AlignLeft);
        w->setContentsMargins(12, 0, 12, 0);
    };
    add(Label8, 1);
    add(Label5, 2);
    add(Label3, 3);
    add(Label1, 4);
    grid->setRowStretch(5, 1);
    grid->addWidget(Button1, 6, 1, Qt::AlignRight);
    Button1->setContentsMargins(0, 0, 12, 0);
    grid->setColumnStretch(0, 1);
    grid->setColumnMinimumWidth(2, 4);
}

void Tabout::FormShow() { Label3->setText(kNotice + QDate::currentDate().toString("yyyy")); }

void Tabout::Label5Click() { open_page(kMakerHomePage); }

void Tabout::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

bool Tabout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label5 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label5Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace sonorix::ui
