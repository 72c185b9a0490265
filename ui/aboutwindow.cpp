#include "aboutwindow.h"

AboutWindow::AboutWindow(QWidget *parent)
    : QDialog(parent)
{
}

AboutWindow::~AboutWindow() = default;
