// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// OBS's own UI task handler, made the way the OBS application makes it: a
// queued Qt call of a slot on the application object, which the UI thread's
// event loop runs. OBS 29 in Debian is built with Qt 5.

#include <QCoreApplication>
#include <QObject>

#include <functional>

using VoidFunc = std::function<void()>;
Q_DECLARE_METATYPE(VoidFunc)

class QtUiTasks : public QCoreApplication {
	Q_OBJECT

public:
	QtUiTasks(int &argc, char **argv);
	// Makes this application's handler libobs's UI task handler.
	void install();

public slots:
	void Exec(VoidFunc func);
};
