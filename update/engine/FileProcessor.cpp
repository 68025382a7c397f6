#include "FileProcessor.h"

#include "UpdateConfig.h"

FileProcessor::FileProcessor(UpdateConfig* config, UpdateInfo* update)
    : m_config(config), m_update(update) {}

FileProcessor::~FileProcessor() = default;
