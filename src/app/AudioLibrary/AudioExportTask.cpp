#include "AudioLibrary/AudioExportTask.h"

#include <QThread>
#include <QTimer>

AudioExportTask::AudioExportTask(QObject* parent) : QObject(parent) { }

AudioExportTask::~AudioExportTask()
{
    progressTimer_.reset();
    if (thread_) {
        thread_->disconnect(this);
        thread_->wait();
    }
}

bool AudioExportTask::start(const AudioExportRequest& request)
{
    if (thread_)
        return false;
    converter_ = std::make_unique<AudioConverter>(request);

    AudioConverter* converter = converter_.get();
    thread_.reset(QThread::create([converter] { converter->startAudioConvert(); }));
    // Queued: the thread's end is handled on the main thread, after every
    // write of the worker is visible here.
    connect(thread_.get(), &QThread::finished, this, &AudioExportTask::onThreadFinished, Qt::QueuedConnection);
    progressTimer_ = std::make_unique<QTimer>();
    progressTimer_->setInterval(kProgressMilliseconds);
    connect(progressTimer_.get(), &QTimer::timeout, this,
        [this, converter] { emit progressed(converter->framesDone(), converter->framesToDo()); });
    progressTimer_->start();
    thread_->start();
    return true;
}

void AudioExportTask::cancel()
{
    if (thread_)
        converter_->cancel();
}

void AudioExportTask::onThreadFinished()
{
    progressTimer_.reset();
    thread_->wait();
    thread_.reset();
    emit progressed(converter_->framesDone(), converter_->framesToDo());
    emit finished();
}
