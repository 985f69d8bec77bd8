#!/bin/sh
# Draws the program's pictures with ImageMagick. The results are committed, so building
# needs no ImageMagick; run this again only to change a picture.
set -eu
cd "$(dirname "$0")/images"

# Banner, 120 x 257: a night-blue gradient with rising rings and a download arrow.
convert -size 120x257 gradient:'#0b2f6b'-'#4f8fd6' \
    -fill none -stroke '#ffffff30' -strokewidth 6 \
    -draw 'circle 60,70 60,20' -draw 'circle 60,70 60,0' \
    -stroke '#ffffff50' -strokewidth 3 -draw 'circle 20,230 20,200' \
    -stroke none -fill '#ffffffd0' \
    -draw 'polygon 48,40 72,40 72,75 88,75 60,105 32,75 48,75' \
    -fill '#ffffff' -draw 'rectangle 30,112 90,118' \
    -fill '#ffffff40' -draw 'rectangle 0,160 120,163' -draw 'rectangle 0,170 120,171' \
    -quality 90 -sampling-factor 1x1 banner.jpg

# Item icon 0, 16 x 16: a small computer, grey monitor with a blue screen on a stand.
convert -size 16x16 xc:none \
    -fill '#9aa4ad' -stroke '#3c4650' -draw 'rectangle 1,1 14,11' \
    -stroke none -fill '#2f6fc9' -draw 'rectangle 3,3 12,9' \
    -fill '#a9d0ff' -draw 'rectangle 4,4 6,5' \
    -fill '#3c4650' -draw 'rectangle 6,12 9,13' -draw 'rectangle 3,14 12,14' \
    PNG32:computer.png

# Item icon 1, 16 x 16: a red tick.
convert -size 16x16 xc:none -fill '#d01818' -stroke '#8a0c0c' -strokewidth 0.5 \
    -draw 'polygon 1.5,8.5 4,6 6.5,8.5 12.5,2 15,4.5 6.5,13.5' PNG32:tick.png

# Application icon, 32 x 32: the computer with a green arrow coming down onto it.
convert -size 32x32 xc:none \
    -fill '#9aa4ad' -stroke '#3c4650' -draw 'rectangle 2,6 29,23' \
    -stroke none -fill '#2f6fc9' -draw 'rectangle 5,9 26,20' \
    -fill '#3c4650' -draw 'rectangle 12,24 19,26' -draw 'rectangle 7,28 24,29' \
    -fill '#20b030' -stroke '#0d5a16' \
    -draw 'polygon 12,0 19,0 19,8 24,8 15.5,17 7,8 12,8' \
    PNG32:application.png
