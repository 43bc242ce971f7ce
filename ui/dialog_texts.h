// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog's fixed texts (UTF-8).
#pragma once

inline constexpr const char* kCaptionText = "Real-time decompressing player";
inline constexpr const char* kOutputLabelText = "Вывод";
inline constexpr const char* kFileText = "Файл";
inline constexpr const char* kStopText = "Стоп";
inline constexpr const char* kErrorCaptionText = "Error";
inline constexpr const char* kChooseFileTitleText = "Выбор проигрываемого файла";
inline constexpr const char* kWaveFilterText = "Файлы RIFF/WAVE (*.wav)";
