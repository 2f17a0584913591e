// The whole logging facility in one include.
#pragma once

#include "logging/locks.hpp"
#include "logging/log_handlers.hpp"
#include "logging/logger.hpp"
#include "logging/logging_system.hpp"
#include "logging/multiplex_log_handler.hpp"
