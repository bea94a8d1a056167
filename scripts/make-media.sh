#!/usr/bin/env bash
# Makes the test clips with ffmpeg's lavfi sources into the given folder.
# A clip that already exists is kept, so a rebuild costs nothing.
set -euo pipefail
dir=${1:?usage: make-media.sh DIR}
mkdir -p "$dir"
cd "$dir"

clip() {
    local name=$1
    shift
    [ -s "$name" ] && return 0
    ffmpeg -nostdin -v error -y "$@" "$name.tmp.${name##*.}"
    mv "$name.tmp.${name##*.}" "$name"
}

# Three seconds of test pattern with a tone: the everyday clip.
clip clip.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest
# A second of 1080p with sound: heavy to decode, for bursts of loads.
clip burst-1080p.mp4 -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest
# A tone alone.
clip tone.m4a -f lavfi -i sine=frequency=660:sample_rate=48000 -t 3 -c:a aac
# Track titles that try to break a JSON line: quotes, backslashes, control
# bytes, bytes that are not UTF-8, and ten kilobytes.
hostile=$'say "hi" \\ back\\slash \x01\x1f ctl \xff\xfe bad utf-8 '
clip hostile.mkv -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=500:sample_rate=48000 \
    -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest \
    -metadata:s:v:0 title="$hostile" -metadata:s:a:0 title="$(printf 'x%.0s' $(seq 10000))$hostile"
# Video frames. Solid colours, whose pixels are known.
clip frames-red.mp4 -f lavfi -i color=red:size=320x240:rate=25 -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip frames-blue.mp4 -f lavfi -i color=blue:size=320x240:rate=25 -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
# Sizes around the largest picture sent, five frames each.
for size in 3840x2160 3838x2158 1280x720; do
    clip "frames-$size.mp4" -f lavfi -i "color=gray:size=$size:rate=10" -t 0.5 -c:v libx264 -preset ultrafast \
        -pix_fmt yuv420p
done
# Odd sides need chroma at full resolution.
clip frames-1281x721.mp4 -f lavfi -i color=gray:size=1281x721:rate=10,format=yuv444p -t 0.5 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv444p
# Four colour patches, red, green, blue and white from top left to bottom
# right, whose planes tell the layouts apart; and the same at an odd size in
# 4:2:0 (VP9 keeps odd sides), whose chroma rows and columns are one more than half.
patches="color=red:size=320x180:rate=10[a];color=lime:size=320x180:rate=10[b];color=blue:size=320x180:rate=10[c];"
patches+="color=white:size=320x180:rate=10[d];[a][b]hstack[t];[c][d]hstack[u];[t][u]vstack"
clip planar-patches.mp4 -f lavfi -i "$patches" -t 0.5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip planar-odd.webm -f lavfi -i "$patches,scale=321:241,setsar=1" -t 0.5 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 \
    -pix_fmt yuv420p
# Anamorphic PAL: 720x576 pixels shown 16:9 wide.
clip frames-anamorphic.mp4 -f lavfi -i color=gray:size=720x576:rate=10,setsar=64/45 -t 0.5 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p
# Two loads in quick succession: frames larger than the 1 MiB pipe, at 50 per second.
clip frames-gen-a.mp4 -f lavfi -i color=green:size=640x480:rate=50 -t 3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip frames-gen-b.mp4 -f lavfi -i color=yellow:size=640x480:rate=50 -t 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
# One MPEG-TS stream whose size changes every second: red 640x360, blue 1280x720.
if [ ! -s frames-sizes.ts ]; then
    for part in red:640x360 blue:1280x720; do
        clip "frames-part-${part#*:}.ts" -f lavfi -i "color=${part%:*}:size=${part#*:}:rate=25" -t 1 -c:v libx264 \
            -preset ultrafast -pix_fmt yuv420p -g 25 -f mpegts
    done
    printf "file 'frames-part-%s.ts'\n" 640x360 1280x720 640x360 1280x720 640x360 >frames-sizes.txt
    ffmpeg -nostdin -v error -y -f concat -i frames-sizes.txt -c copy -f mpegts frames-sizes.tmp.ts
    mv frames-sizes.tmp.ts frames-sizes.ts
    rm frames-part-640x360.ts frames-part-1280x720.ts frames-sizes.txt
fi
# The same with only the width changing: red 640x352, blue 480x352, whose
# heights the decoder pads alike.
if [ ! -s frames-widths.ts ]; then
    for part in red:640x352 blue:480x352; do
        clip "frames-part-${part#*:}.ts" -f lavfi -i "color=${part%:*}:size=${part#*:}:rate=25" -t 1 -c:v libx264 \
            -preset ultrafast -pix_fmt yuv420p -g 25 -f mpegts
    done
    printf "file 'frames-part-%s.ts'\n" 640x352 480x352 640x352 >frames-widths.txt
    ffmpeg -nostdin -v error -y -f concat -i frames-widths.txt -c copy -f mpegts frames-widths.tmp.ts
    mv frames-widths.tmp.ts frames-widths.ts
    rm frames-part-640x352.ts frames-part-480x352.ts frames-widths.txt
fi
# Clips of the tracks and diagnostics tests.
clip video-only.mp4 -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip short-video.mp4 -f lavfi -i testsrc2=size=160x120:rate=25 -t 0.2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip short-tone.m4a -f lavfi -i sine=frequency=660:sample_rate=48000 -t 0.3 -c:a aac
# Two languages of sound and two of subtitles, default sound English and default subtitles German.
[ -s tracks.srt ] || printf '1\n00:00:00,000 --> 00:00:04,000\nFirst words\n\n' >tracks.srt
clip tracks.mkv -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -f lavfi -i sine=frequency=880:sample_rate=48000 -i tracks.srt -i tracks.srt -t 4 \
    -map 0:v -map 1:a -map 2:a -map 3:s -map 4:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -c:s srt \
    -metadata:s:a:0 language=eng -metadata:s:a:0 title=English -metadata:s:a:1 language=fra \
    -metadata:s:a:1 title=French -metadata:s:s:0 language=deu -metadata:s:s:0 title=Deutsch \
    -metadata:s:s:1 language=eng -metadata:s:s:1 title=Captions \
    -disposition:v:0 0 -disposition:a:0 default -disposition:a:1 0 -disposition:s:0 default -disposition:s:1 0
# Subtitles first, flagged default: a load that asks for none gets none.
clip subtitles-first.mkv -i tracks.srt -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -map 0:s -map 1:v -c:s srt \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p -disposition:s:0 default
# Two tones, the second the default: a load that asks for the first, id 0, gets it.
clip two-tones.mka -f lavfi -i sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=880:sample_rate=48000 \
    -t 2 -map 0:a -map 1:a -c:a aac -disposition:a:0 0 -disposition:a:1 default
# Streams that no decoder takes: FourCCs nobody knows on real H.264 and AAC.
clip undecodable-video.avi -f lavfi -i testsrc2=size=160x120:rate=25 -t 1 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p -tag:v 'ZZ9 ' -strict unofficial
clip undecodable-tone.mov -f lavfi -i sine=frequency=660:sample_rate=48000 -t 1 -c:a aac -tag:a QQQQ -strict unofficial
clip undecodable-sound.mov -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -tag:a QQQQ -strict unofficial
# Seeking: ten seconds of pattern and tone with a keyframe every half second,
# and in the middle a grey square that brightens with time (25 levels a
# second), so a picture tells where it was taken; the tone alone; a raw H.264
# stream, whose length the library cannot know but in which it can seek; and
# an MPEG-TS to send as a stream without a length.
clip seek-clock.mp4 -f lavfi -i testsrc2=size=320x240:rate=24 \
    -f lavfi -i "color=c=black:s=80x80:r=24,format=yuv420p,geq=lum='16+T*21.8':cb=128:cr=128" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -filter_complex "[0:v][1:v]overlay=120:80:shortest=1,format=yuv420p[v]" -map "[v]" -map 2:a \
    -t 10 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 12 -c:a aac -shortest
clip seek-tone.m4a -f lavfi -i sine=frequency=550:sample_rate=48000 -t 10 -c:a aac
clip seek.h264 -f lavfi -i testsrc2=size=160x120:rate=24 -t 10 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 12
clip seek-stream.ts -f lavfi -i testsrc2=size=160x120:rate=24 -t 5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 12
# A transport stream with one video and two sound streams in English and
# French: its track ids are stream PIDs, its media streams numbered from 0.
clip tracks.ts -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -f lavfi -i sine=frequency=880:sample_rate=48000 -t 3 -map 0:v -map 1:a -map 2:a -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p -g 25 -c:a mp2 -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra
# Numbered pictures: each frame's number drawn in ten blocks across the
# middle, white for a set bit (lowest bit on the left), so a frame read back
# tells which picture it is. Colours tell the sizes apart: a 640x360 MP4 with
# a tone, and MPEG-TS at 360p red, 720p green, 1080p30 blue.
numbered() {
    local f=$1
    for k in 0 1 2 3 4 5 6 7 8 9; do
        f+=",drawbox=x=iw*$k/10+iw/40:y=ih*2/5:w=iw/20:h=ih/5:color=white:t=fill:enable='bitand(n,$((1 << k)))'"
    done
    echo "$f"
}
clip count.mp4 -f lavfi -i "$(numbered color=black:size=640x360:rate=25)" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 6 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 \
    -c:a aac -shortest
# Loops: two seconds of numbered pictures with a tone, short enough to loop
# three times in a test.
clip loop.mp4 -f lavfi -i "$(numbered color=navy:size=640x360:rate=25)" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 \
    -c:a aac -shortest
# Seeking: 640x360 at 25 fps, a key frame each second, each second in a colour
# of its own and each picture's number in blocks, with sound, in the
# containers hosts seek in most: H.264 with B-frames in MP4 (whose decoder
# shows pictures early after a seek), H.264 in Matroska, VP9 in WebM.
seeking="$(numbered "color=c=0x800000:size=640x360:rate=25,hue=h=67*floor(t)")"
clip seek-colours.mp4 -f lavfi -i "$seeking" -f lavfi -i sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 \
    -preset veryfast -pix_fmt yuv420p -g 25 -c:a aac -shortest
clip seek-colours.mkv -f lavfi -i "$seeking" -f lavfi -i sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p -g 25 -c:a libopus -shortest
clip seek-colours.webm -f lavfi -i "$seeking" -f lavfi -i sine=frequency=440:sample_rate=48000 -t 4 -c:v libvpx-vp9 \
    -deadline realtime -cpu-used 8 -g 25 -c:a libopus -shortest
# Pictures that hold still, 4 s of 320x180 with a tone, their blocks telling
# what each shows: a colour and its number a second (every picture of a
# second the same), animation on twos (each drawing shown twice), a fade to a
# second of black and back (numbered pictures, none drawn on the black), and a
# screencast: only the pictures that change are kept, at their own times.
held() {
    local name=$1 source=$2 marks=$3
    shift 3
    clip "$name" -f lavfi -i "$(numbered "$source" | sed "s|bitand(n,|bitand($marks,|g")" \
        -f lavfi -i sine=frequency=440:sample_rate=48000 -t 4 "$@" -c:v libx264 -preset veryfast -pix_fmt yuv420p \
        -g 25 -c:a aac -shortest
}
held held-colours.mp4 "color=c=0x800000:size=320x180:rate=25,hue=h=67*floor(t)" "floor(t)"
held held-twos.mp4 "color=c=0x006000:size=320x180:rate=25" "floor(n/2)"
held held-fade.mp4 "color=c=0x808080:size=320x180:rate=25,geq=lum='126*clip(abs(T-2.5)*2-1\\,0\\,1)':cb=128:cr=128" \
    "n*not(between(t,2,2.999))"
held held-screencast.mp4 "color=c=0x202060:size=320x180:rate=25" "floor(t*1.7)+floor(t*t)" -vf mpdecimate \
    -fps_mode vfr
for part in red:640x360:25 green:1280x720:25 blue:1920x1080:30; do
    IFS=: read -r colour size rate <<<"$part"
    clip "count-${size#*x}.ts" -f lavfi -i "$(numbered "color=$colour:size=$size:rate=$rate")" -t 2 -c:v libx264 \
        -preset ultrafast -pix_fmt yuv420p -g "$rate" -f mpegts
done
# Network scenarios: four seconds of pattern and tone with the index first, so
# that it plays from the first bytes a server sends; sound only, variable bit
# rate without a header that tells its length, so the length announced from
# its first (quiet) frames is far off; and the same clock as HLS, in segments
# of one second (a playlist with its end and one for a live window).
clip net-clip.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest -movflags +faststart
clip net-vbr.mp3 -f lavfi -i "anullsrc=r=44100:cl=mono" -f lavfi -i "anoisesrc=r=44100:a=0.5" \
    -filter_complex "[0:a]atrim=0:2[q];[1:a]atrim=0:2[n];[q][n]concat=n=2:v=0:a=1" -c:a libmp3lame -q:a 4 \
    -write_xing 0 -id3v2_version 0
hls() {
    local name=$1 seconds=$2
    [ -s "$name.m3u8" ] && return 0
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
        -t "$seconds" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest -f hls -hls_time 1 \
        -hls_list_size 0 -hls_playlist_type vod -hls_segment_filename "$name-%02d.ts" "$name.tmp.m3u8"
    mv "$name.tmp.m3u8" "$name.m3u8"
}
hls hls-vod 8
hls hls-live 40
# The formats table: two seconds of numbered 384x216 pictures at 25 fps with
# a tone, in the containers and codecs users play, and the tone alone in the
# sound formats; a blip of sound shorter than a tracks report takes to settle.
# AV1 at a height its decoder pads by more than half a block (400 to 512);
# H.264 with B-frames at 30 fps, whose pictures begin at no whole millisecond.
formats() {
    local name=$1 size=${FORMAT_SIZE:-384x216} rate=${FORMAT_RATE:-25}
    shift
    clip "$name" -f lavfi -i "$(numbered "color=black:size=$size:rate=$rate")" -f lavfi \
        -i sine=frequency=440:sample_rate=48000 -t 2 -pix_fmt yuv420p -g "$rate" -shortest "$@"
}
x264=(-c:v libx264 -preset ultrafast)
formats fmt-h264.mp4 "${x264[@]}" -c:a aac -metadata:s:a:0 language=eng
formats fmt-video.mp4 -map 0:v "${x264[@]}"
FORMAT_RATE=30 formats fmt-30fps.mp4 -c:v libx264 -preset veryfast -c:a aac
formats fmt-hevc.mp4 -c:v libx265 -preset ultrafast -x265-params log-level=error -tag:v hvc1 -c:a aac
FORMAT_SIZE=712x400 formats fmt-av1.mp4 -c:v libaom-av1 -cpu-used 8 -usage realtime -c:a aac
formats fmt-mpeg4.mp4 -c:v mpeg4 -q:v 3 -c:a aac
formats fmt-opus.mkv "${x264[@]}" -c:a libopus -metadata:s:a:0 language=eng
formats fmt-vorbis.mkv "${x264[@]}" -c:a libvorbis
formats fmt-ac3.mkv "${x264[@]}" -c:a ac3
formats fmt-vp8.webm -c:v libvpx -deadline realtime -cpu-used 8 -b:v 500k -c:a libvorbis
formats fmt-vp9.webm -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus
formats fmt-theora.ogv -c:v libtheora -q:v 7 -c:a libvorbis
formats fmt-mpeg4.avi -c:v mpeg4 -q:v 3 -c:a libmp3lame
formats fmt-prores.mov -c:v prores_ks -pix_fmt yuv422p10le -c:a pcm_s16le
formats fmt-mjpeg.mov -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a pcm_s16le
formats fmt-h264.ts "${x264[@]}" -c:a aac
formats fmt-mpeg2.ts -c:v mpeg2video -q:v 3 -c:a mp2
formats fmt-flv.flv -c:v flv1 -q:v 3 -c:a libmp3lame -ar 44100
# Sound in two languages, FLAC, beside the pictures.
clip fmt-flac.mkv -f lavfi -i "$(numbered color=black:size=384x216:rate=25)" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=880:sample_rate=48000 -t 2 \
    -map 0:v -map 1:a -map 2:a -pix_fmt yuv420p -g 25 "${x264[@]}" -c:a flac -metadata:s:a:0 language=eng \
    -metadata:s:a:1 language=fra
tone() {
    local name=$1 seconds=$2
    shift 2
    clip "$name" -f lavfi -i sine=frequency=660:sample_rate=48000 -t "$seconds" "$@"
}
tone fmt-cbr.mp3 2 -c:a libmp3lame -b:a 128k
tone fmt-vbr.mp3 2 -c:a libmp3lame -q:a 4
tone fmt.flac 2 -c:a flac
tone fmt.wav 2 -c:a pcm_s16le
tone fmt-vorbis.ogg 2 -c:a libvorbis
tone fmt.opus 2 -c:a libopus
tone fmt-blip.wav 0.139 -c:a pcm_s16le
# Subtitle files: a line from 1.5 s to 3 s in each format, over five seconds
# of black with a tone, where the line drawn is the only light; noise that no
# demuxer takes for subtitles.
clip subtitles.mp4 -f lavfi -i color=black:size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest
[ -s subtitles.srt ] || printf '1\n00:00:01,500 --> 00:00:03,000\nWords on screen\n' >subtitles.srt
[ -s subtitles.vtt ] || printf 'WEBVTT\n\n00:01.500 --> 00:03.000\nWords on screen\n' >subtitles.vtt
if [ ! -s subtitles.ass ]; then
    printf '[Script Info]\nScriptType: v4.00+\nPlayResX: 320\nPlayResY: 240\n\n[V4+ Styles]\n%s\n%s\n\n[Events]\n%s\n%s\n' \
        'Format: Name, Fontname, Fontsize, PrimaryColour, OutlineColour, BackColour, Bold, Outline, Shadow, Alignment, MarginV' \
        'Style: Default,DejaVu Sans,24,&H00FFFFFF,&H00000000,&H00000000,0,1,0,2,10' \
        'Format: Layer, Start, End, Style, Text' 'Dialogue: 0,0:00:01.50,0:00:03.00,Default,Words on screen' >subtitles.tmp.ass
    mv subtitles.tmp.ass subtitles.ass
fi
clip subtitles-noise.srt -f lavfi -i anoisesrc=d=0.1:seed=7 -f u8
# What media says about itself: an MP3 with ID3 tags and a cover picture; a
# Matroska file with three chapters of two seconds; and a radio's sound,
# constant bit rate MP3 for a loopback server that speaks ICY.
clip cover.png -f lavfi -i color=red:size=64x64 -frames:v 1
clip tagged.mp3 -f lavfi -i sine=frequency=660:sample_rate=44100 -i cover.png -map 0:a -map 1:v -t 2 -c:a libmp3lame \
    -b:a 64k -c:v png -disposition:v attached_pic -id3v2_version 3 -metadata title='Song "One"' -metadata artist=Someone \
    -metadata album=Albumy -metadata genre=Jazz -metadata date=2021 -metadata track=7
if [ ! -s chapters.mkv ]; then
    {
        printf ';FFMETADATA1\n'
        for c in 0:Opening 2000:Middle 4000:Credits; do
            printf '[CHAPTER]\nTIMEBASE=1/1000\nSTART=%s\nEND=%s\ntitle=%s\n' "${c%:*}" $((${c%:*} + 2000)) "${c#*:}"
        done
    } >chapters.txt
    clip chapters.mkv -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
        -i chapters.txt -map_chapters 2 -map 0:v -map 1:a -t 6 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 \
        -c:a aac -shortest -metadata title=Chaptered -metadata comment='Three parts'
    rm chapters.txt
fi
clip radio.mp3 -f lavfi -i sine=frequency=500:sample_rate=44100 -t 20 -ac 1 -c:a libmp3lame -b:a 64k -write_xing 0 \
    -id3v2_version 0
