#pragma once

#include <QString>

class QWidget;

namespace velto {

// Opens the program's help on its contents page (`helpFile` is the page's path) in a help window
// of its own, or brings that window forward when it is open already.
void ShowHelpContents(QWidget* owner, const QString& helpFile);

// Closes every help window the program opened.
void CloseAllHelp();

// The number of help windows open now.
int OpenHelpWindows();

// The contents page of a program's help: "help/<product>/index.html" beside the program (a
// build), "../share/velto-tools/help/<product>/index.html" (an installation), or the copy in the
// source tree.
QString HelpFilePath(const QString& product, const QString& sourceFolder);

}  // namespace velto
