// SPDX-License-Identifier: GPL-2.0-or-later
#include "qt_ui_tasks.h"

#include <QThread>
#include <obs.h>

namespace {

QtUiTasks *application = nullptr;

void queue_as_obs_does(obs_task_t task, void *param, bool wait)
{
	auto run = [=]() {
		task(param);
	};
	const bool on_ui_thread = QThread::currentThread() == application->thread();
	const Qt::ConnectionType connection = !wait          ? Qt::QueuedConnection
					      : on_ui_thread ? Qt::DirectConnection
							     : Qt::BlockingQueuedConnection;
	QMetaObject::invokeMethod(application, "Exec", connection, Q_ARG(VoidFunc, run));
}

} // namespace

QtUiTasks::QtUiTasks(int &argc, char **argv) : QCoreApplication(argc, argv)
{
	qRegisterMetaType<VoidFunc>();
	application = this;
}

void QtUiTasks::install()
{
	obs_set_ui_task_handler(queue_as_obs_does);
}

void QtUiTasks::Exec(VoidFunc func)
{
	func();
}
