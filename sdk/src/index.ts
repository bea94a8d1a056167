// What a host imports.

export { Engine } from './engine.js';
export type { PreviewOptions, PreviewOutcome, SeekOutcome } from './engine.js';
export { EngineError, MediaError } from './errors.js';
export type { EngineErrorCode } from './errors.js';
export type { BgrxFrame, Frame, FrameInfo, FrameStats, I420Frame } from './frames.js';
export { findEngine } from './process.js';
export type { ExitInfo, StartOptions } from './process.js';
export { FRAME_HEADER, FRAME_LANDED, FRAME_PREVIEW, PREVIEW_WIDTH_MAX, PREVIEW_WIDTH_MIN, framePixelBytes } from './protocol.js';
export type { Chapter, Device, LoadOptions, LogCode, Meta, PixelFormat, Problem, SeekTarget, Track, WireEvent } from './protocol.js';
export type { EngineEvent, PlayState, Snapshot } from './state.js';
export type { WaitOptions } from './wait.js';
