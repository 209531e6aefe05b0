# Attachment cards and image thumbnails, with gdk-pixbuf's own scale and
# PNG save of the same images as the reference.
zn_benchmark(Resource zn_Data)
